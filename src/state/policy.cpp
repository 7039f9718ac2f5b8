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

// The value named `name` (ASCII, as every policy's name is) under `root`'s policy key.
RegValue policy_value(HKEY root, const char* name) {
    wchar_t wide[32] = {};
    for (size_t i = 0; name[i] != '\0' && i + 1 < 32; ++i) {
        wide[i] = static_cast<wchar_t>(name[i]);
    }
    return reg_value(root, kPolicyKey, wide);
}

// A switch: the DWORD 0 or 1. True when `root` sets it, with `on` its state.
bool read_switch(HKEY root, const char* name, bool& on) {
    const RegValue value = policy_value(root, name);
    if (!value.found) {
        return false;
    }
    if (value.type != REG_DWORD || value.too_long) {
        ignore(root, name, "not a DWORD");
        return false;
    }
    if (value.number > 1) {
        ignore(root, name, "neither 0 nor 1");
        return false;
    }
    on = value.number == 1;
    return true;
}

// A text value. True when `root` holds one, in `text`.
bool read_text(HKEY root, const char* name, std::string& text) {
    const RegValue value = policy_value(root, name);
    if (!value.found) {
        return false;
    }
    if (value.type != REG_SZ) {
        ignore(root, name, "not a string");
        return false;
    }
    if (value.too_long) {
        ignore(root, name, "too long");
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

// The switches the machine's key set, an explicit 0 included, which the user's key must
// not undo. The texts need no such mark: a valid one is never empty.
struct SwitchesSet {
    bool updates_disabled = false;
    bool reports_disabled = false;
};

// The values `root` sets that no key read before it did.
void read_policies(HKEY root, Policy& policy, SwitchesSet& set) {
    if (!set.updates_disabled) {
        set.updates_disabled = read_switch(root, "UpdatesDisabled", policy.updates_disabled);
    }
    if (!set.reports_disabled) {
        set.reports_disabled = read_switch(root, "ReportsDisabled", policy.reports_disabled);
    }
    std::string text;
    if (policy.target_prefix.empty() && read_text(root, "TargetVersionPrefix", text)) {
        if (prefix_ok(text)) {
            policy.target_prefix = text;
        } else {
            ignore(root, "TargetVersionPrefix", "not 1 to 4 dot-separated numbers");
        }
    }
    if (policy.update_url.empty() && read_text(root, "UpdateUrl", text)) {
        while (text.size() > 9 && text.back() == '/') {
            text.pop_back();
        }
        if (!update_url_ok(text)) {
            ignore(root, "UpdateUrl", "not an https address");
        } else if (names_a_manifest(text)) {
            ignore(root, "UpdateUrl", "names a file; give the folder that holds latest.json");
        } else {
            policy.update_url = utf8_to_w(text);
        }
    }
    // Empty names the default channel.
    if (!policy.channel_set && read_text(root, "Channel", text)) {
        if (text.empty() || channel_name_ok(text)) {
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
    SwitchesSet set;
    read_policies(HKEY_LOCAL_MACHINE, policy, set);
    read_policies(HKEY_CURRENT_USER, policy, set);
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
