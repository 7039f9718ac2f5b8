#include "state/spawn.h"

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
