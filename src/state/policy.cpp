#include "state/policy.h"

#include "state/channel_name.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/version.h"

#include <windows.h>

#include <algorithm>

namespace {

const wchar_t kPolicyKey[] = L"Software\\Policies\\Brindlewick";
const wchar_t kUserKey[] = L"Software\\Brindlewick";
// Longer than any address or prefix a value could sensibly hold.
const DWORD kMaxTextBytes = 1024 * sizeof(wchar_t);

// One value as the registry holds it; `found` is false when it is not there at all.
struct RegValue {
    bool found = false;
    DWORD type = REG_NONE;
    DWORD number = 0;
    std::wstring text;
    bool too_long = false;
};

RegValue reg_value(HKEY root, const wchar_t* key, const wchar_t* name) {
    RegValue value;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return value;
    }
    wchar_t buffer[kMaxTextBytes / sizeof(wchar_t) + 1] = {};
    DWORD size = kMaxTextBytes;
    const LONG status = RegQueryValueExW(opened, name, nullptr, &value.type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(opened);
    if (status == ERROR_MORE_DATA) {
        value.found = value.too_long = true;
        return value;
    }
    if (status != ERROR_SUCCESS) {
        return value;
    }
    value.found = true;
    if (value.type == REG_DWORD && size != sizeof(DWORD)) {
        value.type = REG_NONE; // no DWORD, whatever its type says
    } else if (value.type == REG_DWORD) {
        CopyMemory(&value.number, buffer, sizeof(DWORD));
    } else if (value.type == REG_SZ) {
        // Stored with or without its terminating null; the buffer ends in one either way.
        value.text.assign(buffer, size / sizeof(wchar_t));
        while (!value.text.empty() && value.text.back() == L'\0') {
            value.text.pop_back();
        }
    }
    return value;
}

const char* root_name(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? "HKLM" : "HKCU";
}

void ignore(HKEY root, const char* name, const char* why) {
    log_line("policy %s ignored (%s): %s", name, root_name(root), why);
}

// A switch: the DWORD 0 or 1. True when `root` sets it, with `on` its state.
bool read_switch(HKEY root, const wchar_t* name, const char* utf8_name, bool& on) {
    const RegValue value = reg_value(root, kPolicyKey, name);
    if (!value.found) {
        return false;
    }
    if (value.type != REG_DWORD || value.too_long) {
        ignore(root, utf8_name, "not a DWORD");
        return false;
    }
    if (value.number > 1) {
        ignore(root, utf8_name, "neither 0 nor 1");
        return false;
    }
    on = value.number == 1;
    return true;
}

// A text value. True when `root` holds one, in `text`.
bool read_text(HKEY root, const wchar_t* name, const char* utf8_name, std::string& text) {
    const RegValue value = reg_value(root, kPolicyKey, name);
    if (!value.found) {
        return false;
    }
    if (value.type != REG_SZ) {
        ignore(root, utf8_name, "not a string");
        return false;
    }
    if (value.too_long) {
        ignore(root, utf8_name, "too long");
        return false;
    }
    text = w_to_utf8(value.text);
    return true;
}

bool prefix_ok(const std::string& prefix) {
    return ver_valid(prefix) && prefix.size() <= 35;
}

// An address the program may fetch from: https, with a host, and nothing that could
// end a request line or be read two ways.
bool update_url_ok(const std::string& url) {
    if (url.compare(0, 8, "https://") != 0 || url.size() <= 8 || url[8] == '/' ||
        url.size() > 511) {
        return false;
    }
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f' || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

// An address of latest.json itself rather than of its folder.
bool names_a_manifest(const std::string& url) {
    return url.size() >= 5 && url.compare(url.size() - 5, 5, ".json") == 0;
}

void read_policies(HKEY root, Policy& policy, bool found[5]) {
    if (!found[0]) {
        found[0] =
            read_switch(root, L"UpdatesDisabled", "UpdatesDisabled", policy.updates_disabled);
    }
    if (!found[1]) {
        found[1] =
            read_switch(root, L"ReportsDisabled", "ReportsDisabled", policy.reports_disabled);
    }
    std::string text;
    if (!found[2] && read_text(root, L"TargetVersionPrefix", "TargetVersionPrefix", text)) {
        found[2] = prefix_ok(text);
        if (found[2]) {
            policy.target_prefix = text;
        } else {
            ignore(root, "TargetVersionPrefix", "not 1 to 4 dot-separated numbers");
        }
    }
    if (!found[3] && read_text(root, L"UpdateUrl", "UpdateUrl", text)) {
        while (text.size() > 9 && text.back() == '/') {
            text.pop_back();
        }
        found[3] = update_url_ok(text) && !names_a_manifest(text);
        if (found[3]) {
            policy.update_url = utf8_to_w(text);
        } else {
            ignore(root, "UpdateUrl",
                   update_url_ok(text) ? "names a file; give the folder that holds latest.json"
                                       : "not an https address");
        }
    }
    if (!found[4] && read_text(root, L"Channel", "Channel", text)) {
        // Empty names the default channel.
        found[4] = text.empty() || channel_name_ok(text);
        if (found[4]) {
            policy.channel_set = true;
            policy.channel = text;
        } else {
            ignore(root, "Channel", "not 1 to 32 of a-z, 0-9 and -");
        }
    }
}

// How many numbers `text` gives, read into `version` as versions are ordered; 0 for a
// text that is no version.
size_t version_numbers(const std::string& text, Ver& version) {
    return ver_parse(text, version)
               ? static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1
               : 0;
}

// At namespace scope: a static inside the function would be guarded for threads, which
// brings a threads library into the program. One thread reads the policies first.
bool current_read = false;
Policy current;

} // namespace

Policy policy_read() {
    Policy policy;
    bool found[5] = {};
    read_policies(HKEY_LOCAL_MACHINE, policy, found);
    read_policies(HKEY_CURRENT_USER, policy, found);
    return policy;
}

const Policy& policy_current() {
    if (!current_read) {
        current = policy_read();
        current_read = true;
    }
    return current;
}

bool policy_allows_version(const Policy& policy, const std::string& version) {
    Ver numbers;
    Ver prefix;
    const size_t given = version_numbers(version, numbers);
    const size_t held = version_numbers(policy.target_prefix, prefix); // 0: no prefix
    return given > 0 && held <= given &&
           std::equal(prefix.parts, prefix.parts + held, numbers.parts);
}

std::string policy_channel(const Policy& policy, const std::string& own) {
    return policy.channel_set ? policy.channel : own;
}

bool user_reports_disabled() {
    const RegValue value = reg_value(HKEY_CURRENT_USER, kUserKey, L"ReportsDisabled");
    return value.found && value.type == REG_DWORD && value.number == 1;
}
