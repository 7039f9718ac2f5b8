#include "state/spawn.h"

namespace {

constexpr DWORD kRetryAfterMs = 1000;

// What trying again cannot mend.
bool lasting(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return true;
    default:
        return false;
    }
}

} // namespace

HANDLE spawn(const std::wstring& exe, const std::wstring& args) {
    const size_t last_slash = exe.rfind(L'\\');
    // A bare file name runs in the caller's current folder; a program at the top of a
    // drive runs in "X:\", since "X:" alone would mean that drive's current folder.
    std::wstring folder;
    if (last_slash != std::wstring::npos) {
        folder = exe.substr(0, last_slash);
        if (folder.size() == 2 && folder[1] == L':') {
            folder += L'\\';
        }
    }
    std::wstring command_line = L"\"" + exe + L"\"";
    if (!args.empty()) {
        command_line += L" " + args;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

HANDLE spawn_retrying(const std::wstring& exe, const std::wstring& args, DWORD& passing) {
    passing = 0;
    const HANDLE process = spawn(exe, args);
    if (process != nullptr || lasting(GetLastError())) {
        return process;
    }
    passing = GetLastError();
    Sleep(kRetryAfterMs);
    return spawn(exe, args);
}

bool spawn_wait_bounded(HANDLE process, DWORD wait_ms, DWORD& code) {
    if (WaitForSingleObject(process, wait_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
        return true;
    }
    TerminateProcess(process, 1);
    WaitForSingleObject(process, wait_ms);
    return false;
}
