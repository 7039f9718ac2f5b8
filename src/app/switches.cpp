#include "app/switches.h"

#include <cwchar>
#include <string>

namespace {

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

} // namespace

Switches switches_parse(const wchar_t* command_line) {
    Switches switches;
    const wchar_t* at = command_line != nullptr ? command_line : L"";
    while (*at != L'\0') {
        while (is_space(*at)) {
            ++at;
        }
        // One argument: up to the next space outside quotes, the quotes themselves dropped.
        std::wstring argument;
        bool quoted = false;
        for (; *at != L'\0' && (quoted || !is_space(*at)); ++at) {
            if (*at == L'"') {
                quoted = !quoted;
            } else {
                argument += *at;
            }
        }
        if (_wcsicmp(argument.c_str(), L"/quiet") == 0) {
            switches.quiet = true;
        } else if (_wcsicmp(argument.c_str(), L"/launch") == 0) {
            switches.launch = true;
        } else if (_wcsicmp(argument.c_str(), L"/removesettings") == 0) {
            switches.remove_settings = true;
        } else if (_wcsicmp(argument.c_str(), L"/uninstall") == 0) {
            switches.uninstall = true;
        }
    }
    return switches;
}
