// Starting a program detached from the caller.
#pragma once

#include <windows.h>

#include <string>

// Starts `exe` (a full path) in its own folder with the command line "<exe>" followed,
// when `args` is not empty, by one space and `args` verbatim. Returns the process
// handle, which the caller must close, or null when the process cannot be created.
HANDLE spawn(const std::wstring& exe, const std::wstring& args);

// As spawn, but a failure that may pass is tried once more, a second later: anything but
// a program or folder that is not there or is no program (a process that could not be
// set up, say, as happens just after a session starts). `passing` is set to the error of
// a first try so tried again, 0 when there was none. GetLastError() says why when the
// result is null.
HANDLE spawn_retrying(const std::wstring& exe, const std::wstring& args, DWORD& passing);

// Waits up to `wait_ms` for `process` to end and sets `code` to its exit code. Past that
// it is ended, and waited for a while more so that it holds no file when this returns;
// false then, with `code` left as it was.
bool spawn_wait_bounded(HANDLE process, DWORD wait_ms, DWORD& code);
