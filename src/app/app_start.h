// Starting a version of the application.
#pragma once

#include <windows.h>

#include <string>

// Starts app-<version>\brindlewick.exe in its folder, trying again a second later when
// the first try failed for a reason that may pass, which the log then notes as "start of
// <version> failed (error N); tried again". Returns the process handle, which the caller
// closes; null, with GetLastError() saying why, when neither try started it.
HANDLE app_start(const std::string& version);
