#include "app/launch_flow.h"

#include "app/self_upgrade.h"
#include "build_config.h"
#include "shell/uninstall_key.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "state/spawn.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"

#include <windows.h>

namespace {

constexpr DWORD kTrialMs = 15000;

// A version from install.json becomes a folder to delete only when it is a version:
// any other text could name a folder outside the root.
void remove_version_dir(const std::string& version) {
    if (ver_valid(version)) {
        rm_tree(app_dir(version));
    }
}

bool start_installed(const InstallState& state) {
    const HANDLE app = spawn(app_exe(state.installed), L"");
    if (app == nullptr) {
        MessageBoxW(nullptr,
                    (std::wstring(L"Brindlewick could not be started.\nRe-running the installer "
                                  L"from ") +
                     PUBLISHER_WEB_DOMAIN + L" will repair it.")
                        .c_str(),
                    L"Brindlewick", MB_ICONERROR);
        return false;
    }
    CloseHandle(app);
    return true;
}

void roll_back(InstallState& state) {
    state.bad.push_back(state.staged);
    remove_version_dir(state.staged);
    state.staged.clear();
    state_save(state);
}

void commit(InstallState& state) {
    // The folders of the version being committed and of the one it replaces stay,
    // whatever the record says of the one before.
    if (!state.prev.empty() && state.prev != state.installed && state.prev != state.staged) {
        remove_version_dir(state.prev);
    }
    state.prev = state.installed;
    state.installed = state.staged;
    state.staged.clear();
    state_save(state);
    write_uninstall_key(state.installed);
    log_line("committed %s (prev %s)", state.installed.c_str(), state.prev.c_str());
    self_upgrade(state.installed);
}

// Whether the staged version can be tried at all. A text that is no version could name a
// program outside the root, and a trial of the installed version could roll back into
// its own folder: such entries, and one whose program is missing, are dropped without a
// word.
bool staged_is_triable(const InstallState& state) {
    return ver_valid(state.staged) && state.staged != state.installed &&
           file_exists(app_exe(state.staged));
}

// Called under the updater lock with a freshly read record. True when the staged
// version was started, and committed or rolled back; false when the installed version
// is to start instead.
bool try_staged(InstallState& state) {
    if (state.staged.empty()) {
        return false;
    }
    if (!staged_is_triable(state)) {
        state.staged.clear();
        state_save(state);
        return false;
    }
    const HANDLE app = spawn(app_exe(state.staged), L"");
    if (app == nullptr) {
        log_line("staged %s failed to spawn", state.staged.c_str());
        roll_back(state);
        return false;
    }
    DWORD code = 0;
    if (WaitForSingleObject(app, kTrialMs) == WAIT_OBJECT_0 && GetExitCodeProcess(app, &code) &&
        code != 0) {
        log_line("staged %s exited %lu in <15s, rolling back", state.staged.c_str(), code);
        roll_back(state);
    } else {
        commit(state);
    }
    CloseHandle(app);
    return true;
}

} // namespace

bool launch_flow(InstallState& state) {
    // Only one stub may try a staged version: two started together would both try it,
    // and one could roll back and delete the folder the other runs from. The stub that
    // finds the trial taken starts the installed version and changes nothing, and so
    // does one that can no longer read the record: another run changed it meanwhile.
    bool tried = false;
    if (!state.staged.empty()) {
        updater_lock_try([&] { tried = state_reload(state) && try_staged(state); });
    }
    return tried || start_installed(state);
}
