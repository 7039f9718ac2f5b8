// The entry point: picks the role this start plays and returns its exit code.
#include "app/caller_wait.h"
#include "app/channel_switch.h"
#include "app/check_command.h"
#include "app/install_flow.h"
#include "app/launch_flow.h"
#include "app/role_select.h"
#include "app/stub_version.h"
#include "app/switches.h"
#include "app/uninstall_flow.h"
#include "app/update_check.h"
#include "state/fs.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/update_log.h"
#include "ui/progress_window.h"

#include <windows.h>
#include <objbase.h>

namespace {

// The roles with windows initialise COM on the main thread, never uninitialised: process
// exit releases it. The updater role, on the road of every start of the application,
// does without: nothing on it uses COM, and setting it up takes tens of milliseconds.
void init_com() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

int run_installer_role(const Switches& switches) {
    init_com();
    InstallRequest request;
    request.launch = switches.launch;
    request.channel = switches.channel_given ? switches.channel.c_str() : nullptr;
    if (switches.quiet) {
        return static_cast<int>(install_quietly(request));
    }
    if (!ui_open(L"Brindlewick Setup")) {
        return 1;
    }
    // The window's installation always starts the application. The worker reads the
    // request from this frame, which outlives it.
    request.launch = true;
    return static_cast<int>(ui_loop(install_worker, &request));
}

int run_updater_role(const Switches& switches) {
    // The commands the application gives its stub. A channel switch and a check start
    // nothing and show nothing; the switch may come before a check or a restart.
    if (switches.channel_given) {
        const int code = channel_switch(switches.channel);
        if (code != 0 || (!switches.check && !switches.apply)) {
            return code;
        }
    }
    if (switches.check) {
        InstallState state;
        return state_load(state) ? check_command(state) : check_command_unreadable();
    }
    // "Restart to update": the application that asked lets go of its files first.
    if (switches.apply) {
        caller_wait(switches.wait_pid);
    }
    // Left behind by an earlier self-upgrade while that run's executable was in use, which
    // may be so still: not waited for on the way to the application.
    fs_delete(old_updater(), FsWait::once);
    InstallState state;
    if (!state_load(state)) {
        // A damaged installation repairs itself from its own shortcut.
        return run_installer_role(switches);
    }
    if (!launch_flow(state, switches.apply ? kRestartLockWaitMs : 0)) {
        return 1;
    }
    update_check(state);
    return 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    // Every DLL loaded from here on, the delay-loaded ones and those the system's own load
    // for them, comes from the system folder: a setup program runs from Downloads, where
    // any web page can leave a winhttp.dll beside it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const Switches switches = switches_parse(command_line);
    switch (select_role(command_line, root_dir, own_path())) {
    case Role::uninstaller:
        init_com();
        return uninstall_flow(switches.quiet, switches.remove_settings);
    case Role::self_check:
        // Touches nothing: the copy asking is about to become the stub.
        return !root_dir().empty() && stub_self_check() ? 0 : 1;
    case Role::no_root:
        // Nothing to start and nothing to repair; the log goes to the temporary folder.
        log_line("cannot find the install root: the local application data folder is unknown");
        return 1;
    case Role::installer:
        return run_installer_role(switches);
    case Role::updater:
        return run_updater_role(switches);
    }
    return 1;
}
