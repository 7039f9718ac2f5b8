#include "app/role.h"
#include "app/roles.h"
#include "state/paths.h"

#include <windows.h>
#include <objbase.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    // Never uninitialised: process exit releases it.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    switch (select_role(command_line, root_dir, own_path())) {
    case Role::uninstaller:
        return run_uninstaller_role();
    case Role::no_root:
        return 1;
    case Role::installer:
        return run_installer_role();
    case Role::updater:
        return run_updater_role();
    }
    return 1;
}
