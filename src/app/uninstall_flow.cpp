#include "app/uninstall_flow.h"

#include "app/app_event.h"
#include "shell/shortcut.h"
#include "shell/uninstall_key.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"

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

// Whether a process other than this one runs a program below `root`: the application,
// or another stub. Its files could not be removed, and what could would leave it broken.
bool runs_below(const std::wstring& root) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring prefix = fs_long_name(root) + L"\\";
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
        // One that has ended may still be listed while handles to it are open.
        DWORD code = 0;
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        if (GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
            QueryFullProcessImageNameW(process, 0, image.data(), &length)) {
            image.resize(length);
            const std::wstring program = fs_long_name(image);
            found = program.size() > prefix.size() &&
                    _wcsnicmp(program.c_str(), prefix.c_str(), prefix.size()) == 0;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

// Everything below the root that this process can remove while the stub runs: the
// record first, so that a stub started meanwhile repairs instead of starting a version
// half gone, then the rest. The stub stays, for the registered command to find.
void remove_all_but_stub(const std::wstring& root) {
    fs_delete(state_file());
    const std::wstring stub = installed_updater();
    fs_list(root + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring path = root + L"\\" + entry.cFileName;
        if (_wcsicmp(path.c_str(), stub.c_str()) != 0) {
            rm_path(path);
        }
        return true;
    });
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

// Moves the running stub to the temporary folder, so that the root can go at once and
// only that file waits for the end of this process; empty when it cannot move (the
// temporary folder on another volume, say).
std::wstring move_running_stub_out() {
    const std::wstring temp = temp_dir();
    if (temp.empty() || !nameable_to_shell(temp)) {
        return std::wstring();
    }
    const std::wstring moved = temp + kRemovedStubName;
    return fs_replace(installed_updater(), moved) ? moved : std::wstring();
}

// Whether the root holds nothing but the stub: all that stays when the running stub could
// not be moved out, for the shell to remove once this process has ended.
bool only_stub_left(const std::wstring& root) {
    const std::wstring stub = installed_updater();
    return fs_list(root + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        return _wcsicmp((root + L"\\" + entry.cFileName).c_str(), stub.c_str()) == 0;
    });
}

// The application's chance to clean up after itself, before anything is removed.
void tell_application() {
    InstallState state;
    if (state_load(state)) {
        app_event_run(AppEvent::uninstalling, state.installed);
    }
}

// In this order, so that at every point either the registered command still works or
// nothing is left: the record, then every other file the stub does not need, the
// settings when wanted and the shortcuts; then the stub and the root, and last the
// registration, which points at nothing for no more than a moment. What only the end of
// this process frees goes to a detached shell. False when more stays below the root than
// that: files another program holds.
bool remove_installation(const std::wstring& root, const std::wstring& settings) {
    remove_all_but_stub(root);
    if (!settings.empty()) {
        rm_tree(settings);
    }
    remove_shortcut();
    std::wstring moved;
    const bool running_stub = same_file(own_path(), installed_updater());
    if (running_stub) {
        moved = move_running_stub_out();
    } else {
        fs_delete(installed_updater());
    }
    const bool root_gone = fs_remove_folder(root);
    const bool complete = root_gone || (running_stub && moved.empty() && only_stub_left(root));
    remove_uninstall_key();
    const std::wstring folder = !root_gone && nameable_to_shell(root) ? root : std::wstring();
    if (!moved.empty() || !folder.empty()) {
        remove_after_exit(moved, folder);
    }
    return complete;
}

} // namespace

int uninstall_flow(bool quiet, bool remove_settings_quietly) {
    if (!quiet && !ask(L"Remove Brindlewick from this computer?")) {
        return 0;
    }
    const std::wstring app_data = environment_value(L"APPDATA");
    const std::wstring settings = app_data.empty() ? std::wstring() : app_data + L"\\Brindlewick";
    const bool remove_settings =
        !settings.empty() && file_exists(settings) &&
        (quiet ? remove_settings_quietly : ask(L"Also remove settings and saved configurations?"));
    const std::wstring root = root_dir();
    if (root.empty()) {
        if (remove_settings) {
            rm_tree(settings);
        }
        remove_shortcut();
        remove_uninstall_key();
        return 0;
    }
    // Nothing is removed while a program of the installation runs, nor while another
    // process holds the updater lock (a check staging a release, an installation): either
    // would go on writing into what is being removed.
    for (;;) {
        enum { none, running, updating } obstacle = updating;
        bool complete = true;
        const auto work = [&] {
            obstacle = runs_below(root) ? running : none;
            if (obstacle == none) {
                tell_application();
                // What its handler started would hold files about to be removed.
                obstacle = runs_below(root) ? running : none;
            }
            if (obstacle == none) {
                complete = remove_installation(root, remove_settings ? settings : std::wstring());
            }
        };
        std::wstring why_not; // set by the wait when it fails
        // Unattended, there is nobody to choose Retry: a check or an installation is
        // waited for as the installer waits for it, a running program is not.
        if (!updater_lock_try(work) && quiet) {
            updater_lock_wait(kUpdaterLockWaitMs, work, why_not);
        }
        if (obstacle == none && quiet && !complete) {
            // Said where the files stayed: the log below the root goes with them.
            log_line("uninstall incomplete: files below the install root were in use");
            return 1;
        }
        if (obstacle == none) {
            return 0;
        }
        if (quiet) {
            log_line("uninstall refused: %s",
                     obstacle == running ? "Brindlewick is running" : w_to_utf8(why_not).c_str());
            return obstacle == running ? 1 : 3;
        }
        const wchar_t* text = obstacle == running
                                  ? L"Brindlewick is running. Close it, then choose Retry."
                                  : L"Brindlewick is being updated. Choose Retry in a moment.";
        if (MessageBoxW(nullptr, text, L"Brindlewick", MB_RETRYCANCEL | MB_ICONWARNING) !=
            IDRETRY) {
            return 0;
        }
    }
}
