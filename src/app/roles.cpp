#include "app/roles.h"

#include "state/install_state.h"
#include "state/paths.h"

#include <windows.h>

// The flows these roles hand over to (the uninstall flow; the progress window with the
// installation worker; launching the application and the background update check) are
// not built yet. Until they are, each role ends with exit code 1 and shows nothing.

int run_uninstaller_role() {
    return 1;
}

int run_installer_role() {
    return 1;
}

int run_updater_role() {
    // Left behind by an earlier self-upgrade while that run's executable was in use.
    DeleteFileW((root_dir() + L"\\updater.old.exe").c_str());
    InstallState state;
    if (!state_load(state)) {
        // A damaged installation repairs itself from its own shortcut.
        return run_installer_role();
    }
    return 1;
}
