#include "support/test_support.h"

#include "state/file_tree.h"
#include "state/paths.h"
#include "state/spawn.h"
#include "state/text.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>

ScratchDir::ScratchDir(const wchar_t* label) {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH + 1] = L"";
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    do {
        path = base + L"\\bw-" + label + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
    } while (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
}

ScratchDir::~ScratchDir() {
    rm_tree(path);
}

std::wstring bin_dir() {
    const std::wstring self = own_path();
    return self.substr(0, self.rfind(L'\\'));
}

std::wstring local_app_data() {
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path))) {
        result = path;
    }
    CoTaskMemFree(path);
    return result;
}

bool place_fake_app(const std::wstring& target) {
    return CopyFileW((bin_dir() + L"\\fake_app.exe").c_str(), target.c_str(), FALSE) != FALSE;
}

unsigned long run_to_end(const std::wstring& exe, const std::wstring& args) {
    const HANDLE process = spawn(exe, args);
    if (process == nullptr) {
        return ~0ul;
    }
    DWORD code = ~0ul;
    if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code)) {
        code = ~0ul;
    }
    CloseHandle(process);
    return code;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return (fclose(file) == 0) && written;
}

std::string read_file(const std::wstring& path, bool* exists) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (exists != nullptr) {
        *exists = file != nullptr;
    }
    if (file == nullptr) {
        return bytes;
    }
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
}

bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int dir_entry_count(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    do {
        const std::wstring name = entry.cFileName;
        count += (name != L"." && name != L"..") ? 1 : 0;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

namespace {

void list_tree_into(const std::wstring& dir, const std::wstring& prefix,
                    std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(prefix + name + L"\\");
            list_tree_into(dir + L"\\" + name, prefix + name + L"\\", out);
        } else {
            out.push_back(prefix + name);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

} // namespace

std::vector<std::wstring> list_tree(const std::wstring& dir) {
    std::vector<std::wstring> out;
    list_tree_into(dir, L"", out);
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

using UnixFileNameFunction = char*(__cdecl*)(const wchar_t*);

// Wine's own conversion of a Windows path; null when not running under Wine.
UnixFileNameFunction wine_unix_file_name() {
    return reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring quoted_unix_path(const std::wstring& path) {
    return L"\"" + utf8_to_w(unix_path(path)) + L"\"";
}

// Starts /bin/<tool>: Wine runs Unix programs too, though it hands back no handle to
// wait on, so callers watch for the tool's effect instead.
bool start_unix_tool(const std::wstring& tool, const std::wstring& args) {
    std::wstring command = tool + L" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW((L"Z:\\bin\\" + tool).c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
        return false;
    }
    for (const HANDLE handle : {process.hProcess, process.hThread}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    return true;
}

// Waits up to five seconds for the path to appear (true) or vanish (false).
DWORD wait_for_attributes(const std::wstring& path, bool present) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    for (int tries = 0; tries < 100 && (attributes != INVALID_FILE_ATTRIBUTES) != present;
         ++tries) {
        Sleep(50);
        attributes = GetFileAttributesW(path.c_str());
    }
    return attributes;
}

} // namespace

std::string unix_path(const std::wstring& path) {
    const UnixFileNameFunction convert = wine_unix_file_name();
    char* converted = convert != nullptr && !path.empty() ? convert(path.c_str()) : nullptr;
    if (converted == nullptr) {
        return std::string();
    }
    const std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

bool make_folder_link(const std::wstring& link, const std::wstring& target) {
    if (wine_unix_file_name() == nullptr) {
        return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                   SYMBOLIC_LINK_FLAG_DIRECTORY |
                                       SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
    }
    // Wine's own link call does nothing.
    if (!start_unix_tool(L"ln",
                         L"-s " + quoted_unix_path(target) + L" " + quoted_unix_path(link))) {
        return false;
    }
    const DWORD attributes = wait_for_attributes(link, true);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void remove_folder_link(const std::wstring& link) {
    if (wine_unix_file_name() == nullptr) {
        RemoveDirectoryW(link.c_str());
    } else if (start_unix_tool(L"rm", quoted_unix_path(link))) {
        wait_for_attributes(link, false);
    }
}
