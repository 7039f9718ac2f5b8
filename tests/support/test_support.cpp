#include "support/test_support.h"

#include "state/file_tree.h"
#include "state/paths.h"

#include <windows.h>

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

bool place_fake_app(const std::wstring& target) {
    return CopyFileW((bin_dir() + L"\\fake_app.exe").c_str(), target.c_str(), FALSE) != FALSE;
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
