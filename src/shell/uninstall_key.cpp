#include "shell/uninstall_key.h"

#include "build_config.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/text.h"

#include <windows.h>

namespace {

const wchar_t kSubkey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brindlewick";

// Stored with its terminating NUL, as the list of programs expects.
void set_text(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void set_number(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The size in KiB that the entry gives, as the list of installed programs shows it: the
// installation's, not that of a download kept until the version it brought is recorded.
DWORD estimated_size() {
    uint64_t size = dir_size(root_dir());
    fs_list(download_names(), [&](const WIN32_FIND_DATAW& entry) {
        const uint64_t bytes =
            (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        if (!download_digest_of(entry.cFileName).empty() && bytes <= size) {
            size -= bytes;
        }
        return true;
    });
    return static_cast<DWORD>(size / 1024);
}

// What the entry says now: its version and size; false when it cannot be read.
bool read_entry(std::wstring& version, DWORD& size) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSubkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t text[64] = L"";
    DWORD text_bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    DWORD size_bytes = sizeof size;
    const bool read =
        RegQueryValueExW(key, L"DisplayVersion", nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &text_bytes) == ERROR_SUCCESS &&
        type == REG_SZ &&
        RegQueryValueExW(key, L"EstimatedSize", nullptr, &type, reinterpret_cast<BYTE*>(&size),
                         &size_bytes) == ERROR_SUCCESS &&
        type == REG_DWORD;
    RegCloseKey(key);
    version.assign(text, text_bytes / sizeof(wchar_t));
    while (!version.empty() && version.back() == L'\0') {
        version.pop_back();
    }
    return read;
}

} // namespace

bool write_uninstall_key(const std::string& version) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSubkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring root = root_dir();
    const std::wstring updater = installed_updater();
    set_text(key, L"DisplayName", L"Brindlewick");
    set_text(key, L"DisplayVersion", utf8_to_w(version));
    set_text(key, L"Publisher", L"Quorvane Oy");
    set_text(key, L"DisplayIcon", updater);
    set_text(key, L"InstallLocation", root);
    set_text(key, L"UninstallString", L"\"" + updater + L"\" /uninstall");
    // What deployment tools run to remove it unattended.
    set_text(key, L"QuietUninstallString", L"\"" + updater + L"\" /uninstall /quiet");
    set_text(key, L"URLInfoAbout", PUBLISHER_HOME_PAGE);
    set_number(key, L"NoModify", 1);
    set_number(key, L"NoRepair", 1);
    set_number(key, L"EstimatedSize", estimated_size());
    // On the disk before install.json, which is written after it and flushed, can say
    // the installation is whole.
    RegFlushKey(key);
    RegCloseKey(key);
    return true;
}

bool uninstall_key_follow(const std::string& version) {
    std::wstring said;
    DWORD size = 0;
    if (read_entry(said, size) && said == utf8_to_w(version)) {
        const DWORD measured = estimated_size();
        const DWORD off = size > measured ? size - measured : measured - size;
        if (off <= measured / 10) {
            return true;
        }
    }
    return write_uninstall_key(version);
}

void remove_uninstall_key() {
    RegDeleteKeyW(HKEY_CURRENT_USER, kSubkey);
}
