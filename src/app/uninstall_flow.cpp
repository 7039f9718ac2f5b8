#include "app/uninstall_flow.h"

#include "shell/shortcut.h"
#include "shell/uninstall_key.h"
#include "state/file_tree.h"
#include "state/paths.h"

#include <windows.h>

#include <string>

namespace {

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

// The root holds this very program, so a shell started now removes it about two
// seconds later, once this process has ended. The shell is named by its full path (a
// bare name is looked for beside this program first) and runs in the system folder: a
// current folder inside the root would keep the root from being removed.
void start_root_removal(const std::wstring& root) {
    const std::wstring folder = system_folder();
    if (folder.empty()) {
        return;
    }
    const std::wstring shell = folder + L"\\cmd.exe";
    // No AutoRun commands (/d) and no delayed expansion (/v:off): only "%" could still
    // change what the shell reads, and roots holding one never come here.
    std::wstring command =
        L"\"" + shell + L"\" /d /v:off /c ping 127.0.0.1 -n 3 >nul & rd /s /q \"" + root + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(shell.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, folder.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

} // namespace

void uninstall_flow() {
    if (!ask(L"Remove Brindlewick from this computer?")) {
        return;
    }
    remove_shortcut();
    remove_uninstall_key();
    const std::wstring app_data = environment_value(L"APPDATA");
    if (!app_data.empty()) {
        const std::wstring settings = app_data + L"\\Brindlewick";
        if (file_exists(settings) && ask(L"Also remove settings and saved configurations?")) {
            rm_tree(settings);
        }
    }
    // The shell expands "%" even inside quotes, so such a root cannot be named safely.
    const std::wstring root = root_dir();
    if (!root.empty() && root.find(L'%') == std::wstring::npos) {
        start_root_removal(root);
    }
}
