#include "state/paths.h"

#include "state/fs.h"
#include "state/hex_digest.h"
#include "state/text.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

namespace {

// Filled once, by the first successful lookup on the main thread; read-only afterwards.
std::wstring cached_root;

const wchar_t kUpdaterName[] = L"\\updater.exe";

std::wstring under_root(const wchar_t* name) {
    return root_dir() + name;
}

// The volume and index that make a file itself; false when it cannot be opened.
bool file_identity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    // No access asked for and every sharing allowed: a running program opens this way.
    const HANDLE file = fs_open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool read = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return read;
}

} // namespace

std::wstring root_dir() {
    if (!cached_root.empty()) {
        return cached_root;
    }
    PWSTR local_app_data = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local_app_data))) {
        CoTaskMemFree(local_app_data);
        return std::wstring();
    }
    std::wstring root = std::wstring(local_app_data) + L"\\Brindlewick";
    CoTaskMemFree(local_app_data);
    fs_make_folder(root);
    cached_root = root;
    return root;
}

std::wstring app_dir(const std::string& version) {
    return root_dir() + L"\\app-" + utf8_to_w(version);
}

std::wstring app_exe(const std::string& version) {
    return app_exe_in(app_dir(version));
}

std::wstring app_exe_in(const std::wstring& dir) {
    return dir + L"\\brindlewick.exe";
}

std::wstring events_marker(const std::string& version) {
    return app_dir(version) + L"\\brindlewick.events";
}

std::wstring release_updater(const std::string& version) {
    return app_dir(version) + kUpdaterName;
}

std::wstring installed_updater() {
    return installed_updater_in(root_dir());
}

std::wstring installed_updater_in(const std::wstring& root) {
    return root + kUpdaterName;
}

std::wstring old_updater() {
    return under_root(L"\\updater.old.exe");
}

std::wstring incoming_updater() {
    return under_root(L"\\updater.new.exe");
}

std::wstring state_file() {
    return under_root(L"\\install.json");
}

std::wstring state_temp_file() {
    return state_file() + L".tmp";
}

std::wstring log_file() {
    return under_root(L"\\updater.log");
}

std::wstring rootless_log_file() {
    const std::wstring temp = temp_dir();
    return temp.empty() ? temp : temp + L"Brindlewick-updater.log";
}

std::wstring temp_dir() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return length > 0 && length <= MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

std::wstring download_file() {
    return under_root(L"\\dl-tmp.zip");
}

namespace {

const wchar_t kDownloadPrefix[] = L"dl-";
const wchar_t kPartialSuffix[] = L".partial";
const wchar_t kValidatorSuffix[] = L".validator";

std::wstring download_name(const std::string& sha256, const wchar_t* suffix) {
    return root_dir() + L"\\" + kDownloadPrefix + utf8_to_w(digest_lowercase(sha256)) + suffix;
}

bool has_suffix(const std::wstring& name, const std::wstring& suffix) {
    return name.size() > suffix.size() &&
           _wcsicmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0;
}

} // namespace

std::wstring download_partial(const std::string& sha256) {
    return download_name(sha256, kPartialSuffix);
}

std::wstring download_validator(const std::string& sha256) {
    return download_name(sha256, kValidatorSuffix);
}

std::wstring download_names() {
    return root_dir() + L"\\" + kDownloadPrefix + L"*";
}

std::string download_digest_of(const std::wstring& name) {
    const std::wstring prefix = kDownloadPrefix;
    if (_wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) != 0) {
        return std::string();
    }
    for (const std::wstring suffix : {kPartialSuffix, kValidatorSuffix}) {
        if (has_suffix(name, suffix) && name.size() > prefix.size() + suffix.size()) {
            return w_to_utf8(
                name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
        }
    }
    return std::string();
}

std::wstring delta_patch_file() {
    return under_root(L"\\delta-patch.tmp");
}

std::wstring staging_dir() {
    return under_root(L"\\staging-tmp");
}

std::wstring replaced_dir(const std::string& version) {
    return root_dir() + L"\\replaced-" + utf8_to_w(version);
}

std::wstring failed_trial_mark(const std::string& version) {
    return root_dir() + L"\\trial-failed-" + utf8_to_w(version);
}

std::wstring path_extended(const std::wstring& path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const bool prefixed = path.size() >= 4 && separator(path[0]) && separator(path[1]) &&
                          (path[2] == L'?' || path[2] == L'.') && separator(path[3]);
    const bool drive =
        path.size() >= 3 && path[1] == L':' && separator(path[2]) &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    const bool unc = !prefixed && path.size() > 2 && separator(path[0]) && separator(path[1]);
    if (prefixed || (!drive && !unc)) {
        return path;
    }
    std::wstring extended = drive ? L"\\\\?\\" + path.substr(0, 2) : L"\\\\?\\UNC";
    // Components past the drive, or past "\\server\share", which ".." never climbs above.
    std::vector<std::wstring> kept;
    const size_t fixed = drive ? 0 : 2;
    for (size_t at = drive ? 3 : 2; at <= path.size();) {
        size_t end = at;
        while (end < path.size() && !separator(path[end])) {
            ++end;
        }
        const std::wstring part = path.substr(at, end - at);
        if (part == L"..") {
            if (kept.size() > fixed) {
                kept.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            kept.push_back(part);
        }
        at = end + 1;
    }
    for (const std::wstring& part : kept) {
        extended += L'\\';
        extended += part;
    }
    // The root of a drive keeps its backslash: without it, it would name the volume.
    if (kept.empty()) {
        extended += L'\\';
    }
    return extended;
}

std::wstring own_path() {
    // MAX_PATH is the common case; longer paths are read whole rather than cut, so
    // that comparing them with the stub's path never matches a truncated prefix.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size() || buffer.size() >= 32768) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool file_exists(const std::wstring& path) {
    return fs_attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool same_file(const std::wstring& a, const std::wstring& b) {
    // The same text names the same file: the stub started by its own path, as its
    // shortcuts start it on every start of the application, opens nothing to know it.
    if (_wcsicmp(a.c_str(), b.c_str()) == 0) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    if (!file_identity(a, first) || !file_identity(b, second)) {
        return _wcsicmp(a.c_str(), b.c_str()) == 0;
    }
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}
