// The install root, %LOCALAPPDATA%\Brindlewick, and the fixed names below it.
#pragma once

#include <string>

// The root without a trailing backslash, created on first use and cached for the
// process; empty when the local application-data folder cannot be resolved.
std::wstring root_dir();

std::wstring app_dir(const std::string& version); // <root>\app-<version>
std::wstring app_exe(const std::string& version); // <root>\app-<version>\brindlewick.exe
std::wstring installed_updater();                 // <root>\updater.exe
std::wstring installed_updater_in(const std::wstring& root);

// Full path of the running executable.
std::wstring own_path();

// True for an existing file or directory; any failure counts as absence.
bool file_exists(const std::wstring& path);
