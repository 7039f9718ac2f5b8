#include "state/file_tree.h"

#include <windows.h>

namespace {

bool is_dot_entry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

bool is_directory(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_link(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// `rel` is the folder being listed, relative to `path`: empty, or ending in a backslash.
bool walk_below(const std::wstring& path, const std::wstring& rel,
                const std::function<bool(const std::wstring&)>& visit) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\" + rel + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool going = true;
    do {
        if (is_dot_entry(entry.cFileName)) {
            continue;
        }
        const std::wstring child = rel + entry.cFileName;
        if (!is_directory(entry)) {
            going = visit(child);
        } else if (!is_link(entry)) {
            going = walk_below(path, child + L"\\", visit);
        }
    } while (going && FindNextFileW(find, &entry));
    FindClose(find);
    return going;
}

} // namespace

bool rm_tree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (is_dot_entry(entry.cFileName)) {
                continue;
            }
            const std::wstring child = path + L"\\" + entry.cFileName;
            if (is_directory(entry) && is_link(entry)) {
                // Removes the link; what it points to lies outside this tree.
                RemoveDirectoryW(child.c_str());
            } else if (is_directory(entry)) {
                rm_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

uint64_t dir_size(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uint64_t total = 0;
    do {
        if (is_dot_entry(entry.cFileName)) {
            continue;
        }
        if (is_directory(entry)) {
            if (!is_link(entry)) {
                total += dir_size(path + L"\\" + entry.cFileName);
            }
        } else {
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return total;
}

void ensure_parent_dirs(const std::wstring& base, const std::wstring& rel) {
    for (size_t slash = rel.find(L'\\'); slash != std::wstring::npos;
         slash = rel.find(L'\\', slash + 1)) {
        CreateDirectoryW((base + L"\\" + rel.substr(0, slash)).c_str(), nullptr);
    }
}

bool walk_files(const std::wstring& path, const std::function<bool(const std::wstring&)>& visit) {
    return walk_below(path, L"", visit);
}
