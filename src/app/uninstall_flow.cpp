#include "app/uninstall_flow.h"

#include "shell/shortcut.h"
#include "shell/uninstall_key.h"
#include "state/file_tree.h"
#include "state/paths.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

// Where the running stub goes while its folder is removed; the shell deletes it.
const wchar_t kRemovedStubName[] = L"Brindlewick-uninstall.exe";

bool ask(const wchar_t* question) {
    return MessageBoxW(nullptr, question, L"Brindlewick", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// The whole value however long; empty when the variable is not set.
std::wstring environment_value(const wchar_t* name) {
    std::wstring value;
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    while (size > 0) {
        value.resize(size);
        const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
        if (length < size) {
            value.resize(length);
            return value;
        }
        size = length; // grew between the two calls
    }
    return std::wstring();
}

std::wstring system_folder() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

std::wstring temp_folder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return length > 0 && length <= MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

// Whether a process other than this one runs a program below `root`: the application,
// or another stub. Its files could not be removed, and what could would leave it broken.
bool runs_below(const std::wstring& root) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring prefix = root + L"\\";
    const DWORD self = GetCurrentProcessId();
    bool found = false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            continue;
        }
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t image[32768];
        DWORD length = 32768;
        found = QueryFullProcessImageNameW(process, 0, image, &length) && length > prefix.size() &&
                _wcsnicmp(image, prefix.c_str(), prefix.size()) == 0;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

// Everything below the root that this process can remove while the stub runs: the
// record first, so that a stub started meanwhile repairs instead of starting a version
// half gone, then the rest. The stub stays, for the registered command to find.
void remove_all_but_stub(const std::wstring& root) {
    DeleteFileW(state_file().c_str());
    const std::wstring stub = installed_updater();
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((root + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        const std::wstring path = root + L"\\" + name;
        if (name == L"." || name == L".." || _wcsicmp(path.c_str(), stub.c_str()) == 0) {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            rm_tree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// The shell expands "%" even inside quotes, so such a path cannot be named to it safely.
bool nameable_to_shell(const std::wstring& path) {
    return path.find(L'%') == std::wstring::npos;
}

// A shell started now removes what only the end of this process frees, about two
// seconds later. It is named by its full path (a bare name is looked for beside this
// program first) and runs in the system folder, which keeps no folder of ours in use.
void remove_after_exit(const std::wstring& file, const std::wstring& folder) {
    const std::wstring system = system_folder();
    if (system.empty()) {
        return;
    }
    const std::wstring shell = system + L"\\cmd.exe";
    // No AutoRun commands (/d) and no delayed expansion (/v:off).
    std::wstring command = L"\"" + shell + L"\" /d /v:off /c ping 127.0.0.1 -n 3 >nul";
    if (!file.empty()) {
        command += L" & del /f /q \"" + file + L"\"";
    }
    if (!folder.empty()) {
        command += L" & rd /s /q \"" + folder + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(shell.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, system.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Removes the stub and the root. The running stub cannot be deleted, but it can be moved:
// to the temporary folder, so that the root goes at once and only that file waits for
// the end of this process. Where it cannot move, the shell removes the root instead.
void remove_stub_and_root(const std::wstring& root) {
    const std::wstring stub = installed_updater();
    std::wstring moved;
    if (same_file(own_path(), stub)) {
        const std::wstring temp = temp_folder();
        if (!temp.empty() && nameable_to_shell(temp)) {
            moved = temp + kRemovedStubName;
            if (!MoveFileExW(stub.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                moved.clear();
            }
        }
    } else {
        DeleteFileW(stub.c_str());
    }
    const bool root_gone = RemoveDirectoryW(root.c_str()) != FALSE;
    const std::wstring folder = !root_gone && nameable_to_shell(root) ? root : std::wstring();
    if (!moved.empty() || !folder.empty()) {
        remove_after_exit(moved, folder);
    }
}

} // namespace

void uninstall_flow() {
    if (!ask(L"Remove Brindlewick from this computer?")) {
        return;
    }
    const std::wstring root = root_dir();
    while (!root.empty() && runs_below(root)) {
        if (MessageBoxW(nullptr, L"Brindlewick is running. Close it, then choose Retry.",
                        L"Brindlewick", MB_RETRYCANCEL | MB_ICONWARNING) != IDRETRY) {
            return;
        }
    }
    const std::wstring app_data = environment_value(L"APPDATA");
    const std::wstring settings = app_data.empty() ? std::wstring() : app_data + L"\\Brindlewick";
    const bool remove_settings = !settings.empty() && file_exists(settings) &&
                                 ask(L"Also remove settings and saved configurations?");
    // At every point either the registered command still works or nothing is left: the
    // files first, the shortcuts and the registration last, then the stub.
    if (!root.empty()) {
        remove_all_but_stub(root);
    }
    if (remove_settings) {
        rm_tree(settings);
    }
    remove_shortcut();
    remove_uninstall_key();
    if (!root.empty()) {
        remove_stub_and_root(root);
    }
}
