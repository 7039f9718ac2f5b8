#include "app/role_select.h"

#include "state/paths.h"

#include <cwchar>

Role select_role(const wchar_t* command_line, std::wstring (*find_root)(),
                 const std::wstring& own_path) {
    // A plain, case-sensitive substring test: the registered uninstall command is
    // the only caller that passes anything.
    if (command_line != nullptr && wcsstr(command_line, L"/uninstall") != nullptr) {
        return Role::uninstaller;
    }
    const std::wstring root = find_root();
    if (root.empty()) {
        return Role::no_root;
    }
    // Purely textual: another written form of the same path is not the stub.
    const std::wstring stub = installed_updater_in(root);
    return _wcsicmp(own_path.c_str(), stub.c_str()) == 0 ? Role::updater : Role::installer;
}
