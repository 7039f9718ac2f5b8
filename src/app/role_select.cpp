#include "app/role_select.h"

#include "app/switches.h"
#include "state/paths.h"

#include <cwchar>

Role select_role(const wchar_t* command_line, std::wstring (*find_root)(),
                 const std::wstring& own_path) {
    // Substring tests, as the registered uninstall command has always been read; the
    // option as a whole argument in any letter case too, as an administrator may type
    // it: "/UNINSTALL /QUIET" must never install.
    if (command_line != nullptr && (wcsstr(command_line, L"/uninstall") != nullptr ||
                                    switches_parse(command_line).uninstall)) {
        return Role::uninstaller;
    }
    if (command_line != nullptr && wcsstr(command_line, L"/selfcheck") != nullptr) {
        return Role::self_check;
    }
    const std::wstring root = find_root();
    if (root.empty()) {
        return Role::no_root;
    }
    // By the file, not its name: a stub started through a short name, another drive
    // letter or a link would otherwise install itself over its own running image.
    return same_file(own_path, installed_updater_in(root)) ? Role::updater : Role::installer;
}
