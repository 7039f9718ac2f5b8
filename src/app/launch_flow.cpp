#include "app/launch_flow.h"

#include "app/app_event.h"
#include "app/app_start.h"
#include "app/leftovers.h"
#include "app/report_event.h"
#include "app/self_upgrade.h"
#include "build_config.h"
#include "shell/uninstall_key.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/policy.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"

#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD kTrialMs = 15000;
constexpr DWORD kBoxRetryMs = 1000;

// How a trial went, for what follows it once the lock is let go.
struct Trial {
    bool running = false;        // the staged version runs: committed, or to be committed again
    const char* saved = nullptr; // "committed" or "rolled-back" once the record says so
    std::string version;         // the version tried
    std::string reason;          // why it was rolled back
};

// A box that could not be shown (the desktop not there yet, say) is tried once more, and
// said in the log either way.
void tell_user(const std::wstring& text) {
    for (int tries = 0; tries < 2; ++tries) {
        if (MessageBoxW(nullptr, text.c_str(), L"Brindlewick", MB_ICONERROR) != 0) {
            return;
        }
        log_line("the box could not be shown (error %lu)", GetLastError());
        Sleep(kBoxRetryMs);
    }
}

bool start_installed(const InstallState& state) {
    const HANDLE app = app_start(state.installed);
    if (app == nullptr) {
        // Why, for whoever reads the log after the box: the box cannot say.
        log_line("start of %s failed (error %lu)", state.installed.c_str(), GetLastError());
        tell_user(std::wstring(L"Brindlewick could not be started.\nRe-running the installer "
                               L"from ") +
                  PUBLISHER_WEB_DOMAIN + L" will repair it.");
        return false;
    }
    CloseHandle(app);
    return true;
}

// The record first, then the folders it no longer names: killed in between, the next
// flow to hold the lock removes them, and the version stays on the bad list.
void roll_back(InstallState& state, Trial& trial, const std::string& reason) {
    const std::string version = state.staged;
    state.bad.push_back(version);
    state.staged.clear();
    std::wstring error;
    if (state_save(state, error)) {
        leftovers_remove(state);
        trial.saved = "rolled-back";
        trial.reason = reason;
        return;
    }
    // The record still names it as staged: a mark beside it says that it failed, so that
    // the next start that can save finishes the rollback instead of trying it again.
    // Where not even the mark can be made, its folder goes (a staged version whose program
    // is missing is dropped untried), freeing the room the save may have lacked.
    log_line("rollback of %s could not be saved: %s", version.c_str(), w_to_utf8(error).c_str());
    const HANDLE mark = fs_open(failed_trial_mark(version), GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (mark == INVALID_HANDLE_VALUE || !FlushFileBuffers(mark)) {
        rm_tree(app_dir(version));
    }
    if (mark != INVALID_HANDLE_VALUE) {
        CloseHandle(mark);
    }
}

// The version being committed and the one it replaces keep their folders; the one
// before goes. Only a commit that was saved is registered and named in the log; one
// that was not is tried again at the next start, for the record still names the version
// as staged.
void commit(InstallState& state, Trial& trial) {
    InstallState committed = state;
    committed.prev = state.installed;
    committed.installed = state.staged;
    committed.staged.clear();
    std::wstring error;
    if (!state_save(committed, error)) {
        log_line("commit of %s could not be saved: %s", state.staged.c_str(),
                 w_to_utf8(error).c_str());
        return;
    }
    state = committed;
    trial.saved = "committed";
    leftovers_remove(state);
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

// Whether the policies let the staged version be tried now; it stays staged for when
// they do.
bool trial_allowed(const InstallState& state) {
    const Policy& policy = policy_current();
    if (policy.updates_disabled || !policy_allows_version(policy, state.staged)) {
        log_line_once("staged %s not tried: held back by policy", state.staged.c_str());
        return false;
    }
    return true;
}

// Called under the updater lock with a freshly read record. `trial.running` when the
// staged version was started and not rolled back; else the installed version is to start
// instead (nothing staged, nothing triable, or a trial rolled back).
void try_staged(InstallState& state, Trial& trial) {
    if (state.staged.empty()) {
        return;
    }
    if (!staged_is_triable(state)) {
        state.staged.clear();
        state_save(state);
        return;
    }
    if (!trial_allowed(state)) {
        return;
    }
    trial.version = state.staged;
    if (file_exists(failed_trial_mark(state.staged))) {
        log_line("staged %s failed its trial before, rolling back", state.staged.c_str());
        roll_back(state, trial, "failed its trial in an earlier run");
        return;
    }
    // A start that failed for a moment is no reason to refuse the version for good.
    const HANDLE app = app_start(state.staged);
    if (app == nullptr) {
        char why[48];
        snprintf(why, sizeof why, "could not be started (error %lu)", GetLastError());
        log_line("staged %s failed to spawn", state.staged.c_str());
        roll_back(state, trial, why);
        return;
    }
    DWORD code = 0;
    const bool failed = WaitForSingleObject(app, kTrialMs) == WAIT_OBJECT_0 &&
                        GetExitCodeProcess(app, &code) && code != 0;
    CloseHandle(app);
    if (failed) {
        log_line("staged %s exited %lu in <15s, rolling back", state.staged.c_str(), code);
        char why[48];
        snprintf(why, sizeof why, "exited with code %lu during its trial", code);
        roll_back(state, trial, why);
        return;
    }
    trial.running = true;
    commit(state, trial);
}

} // namespace

bool launch_flow(InstallState& state, unsigned long lock_wait_ms) {
    // Only one stub may try a staged version: two started together would both try it,
    // and one could roll back and delete the folder the other runs from. The stub that
    // finds the trial taken starts the installed version and changes nothing, and so
    // does one that can no longer read the record: another run changed it meanwhile.
    // After a rollback the installed version starts: the user asked for the application.
    Trial trial;
    if (!state.staged.empty()) {
        const auto run = [&] {
            if (state_reload(state)) {
                try_staged(state, trial);
            }
        };
        std::wstring why;
        if (!updater_lock_try(run) && lock_wait_ms != 0 &&
            !updater_lock_wait(lock_wait_ms, run, why)) {
            log_line("staged %s not tried: %s", state.staged.c_str(), w_to_utf8(why).c_str());
        }
    }
    if (trial.running) {
        // Outside the lock: the application's handler may take its 15 seconds, while the
        // version it registers already runs and may ask for a check. A commit that could
        // not be saved is tried again at the next start, and told then.
        if (trial.saved != nullptr) {
            app_event_run(AppEvent::updated, state.installed);
            report_event(state, trial.saved, state.installed, state.prev);
        }
        return true;
    }
    // A run that ended while replacing the installed version's folder may have left it
    // under its set-aside name.
    if (!file_exists(app_exe(state.installed))) {
        updater_lock_try([&] {
            if (state_reload(state)) {
                leftovers_remove(state);
            }
        });
    }
    const bool started = start_installed(state);
    // After the start: the user waits for the application, not for the report.
    if (trial.saved != nullptr) {
        report_event(state, trial.saved, trial.version, state.installed, trial.reason);
    }
    return started;
}
