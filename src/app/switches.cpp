#include "app/switches.h"

#include <cwchar>
#include <string>

namespace {

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The argument at `at`, up to the next space outside quotes, the quotes themselves
// dropped; `at` moves past it.
std::wstring next_argument(const wchar_t*& at) {
    while (is_space(*at)) {
        ++at;
    }
    std::wstring argument;
    bool quoted = false;
    for (; *at != L'\0' && (quoted || !is_space(*at)); ++at) {
        if (*at == L'"') {
            quoted = !quoted;
        } else {
            argument += *at;
        }
    }
    return argument;
}

// A process id in decimal; 0 for anything else. By hand: the library's conversion
// brings 3 KiB to the program.
unsigned long process_id(const std::wstring& text) {
    unsigned long long id = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9' || (id = id * 10 + (c - L'0')) > 0xFFFFFFFFull) {
            return 0;
        }
    }
    return static_cast<unsigned long>(id);
}

} // namespace

Switches switches_parse(const wchar_t* command_line) {
    Switches switches;
    const wchar_t* at = command_line != nullptr ? command_line : L"";
    static const wchar_t kChannel[] = L"/channel=";
    constexpr size_t kChannelLength = sizeof kChannel / sizeof kChannel[0] - 1;
    while (*at != L'\0') {
        const std::wstring argument = next_argument(at);
        if (_wcsicmp(argument.c_str(), L"/quiet") == 0) {
            switches.quiet = true;
        } else if (_wcsicmp(argument.c_str(), L"/launch") == 0) {
            switches.launch = true;
        } else if (_wcsicmp(argument.c_str(), L"/removesettings") == 0) {
            switches.remove_settings = true;
        } else if (_wcsicmp(argument.c_str(), L"/uninstall") == 0) {
            switches.uninstall = true;
        } else if (_wcsicmp(argument.c_str(), L"/check") == 0) {
            switches.check = true;
        } else if (_wcsicmp(argument.c_str(), L"/apply") == 0) {
            switches.apply = true;
        } else if (_wcsicmp(argument.c_str(), L"/wait") == 0) {
            switches.wait_pid = process_id(next_argument(at));
        } else if (_wcsnicmp(argument.c_str(), kChannel, kChannelLength) == 0) {
            // Kept as written, narrowed: a name with anything but ASCII is refused later.
            const std::wstring name = argument.substr(kChannelLength);
            switches.channel.clear();
            for (const wchar_t c : name) {
                switches.channel += c < 0x80 ? static_cast<char>(c) : '?';
            }
            switches.channel_given = true;
        }
    }
    return switches;
}
