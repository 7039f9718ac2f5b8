// The installer's one window: a status line and a progress bar, with the installation
// running on a worker thread that reports through posted messages.
//
// src/ui includes nothing else from src.
#pragma once

#include <windows.h>

#include <cstdint>

// The work run behind the window: its argument, and its result as the exit code.
using UiWorker = uint32_t (*)(void* arg);

// Main thread only. Creates and shows the window titled `title`; false only when the
// window itself cannot be created (a missing font, label or bar is not a failure).
bool ui_open(const wchar_t* title);

// Main thread only, after ui_open. Runs `fn(arg)` on a new thread and serves the
// window until the worker has returned, however the message loop ends; the window is
// then gone. Returns the worker's result, or 1 when the thread cannot be started.
uint32_t ui_loop(UiWorker fn, void* arg);

// Any thread. Shows `text` in the status line; nothing without a window.
void ui_status(const wchar_t* text);

// Any thread. 0 to 100 shows that percentage; a negative value an indeterminate bar.
// Nothing without a window.
void ui_progress(int value);

// Any thread. The window, as owner of the installer's message boxes; null when none.
HWND ui_hwnd();
