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

// A junction or a symbolic link (or another reparse point), taken for a link.
bool is_link(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool is_link(const WIN32_FIND_DATAW& entry) {
    return is_link(entry.dwFileAttributes);
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

// Removes a link itself, never what it points to: through a handle opened on the link
// and seen to be one. Removing by name is not safe everywhere: Wine, whose handles never
// show a link, removes a link's empty target folder that way.
bool remove_link(const std::wstring& path) {
    const HANDLE link =
        CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (link == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    FILE_DISPOSITION_INFO dispose = {TRUE};
    const bool removed =
        GetFileInformationByHandle(link, &info) && is_link(info.dwFileAttributes) &&
        SetFileInformationByHandle(link, FileDispositionInfo, &dispose, sizeof dispose);
    CloseHandle(link);
    return removed;
}

// Deletes what the folder `path` holds; rm_tree has checked that it is no link.
void remove_entries(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (is_dot_entry(entry.cFileName)) {
                continue;
            }
            const std::wstring child = path + L"\\" + entry.cFileName;
            if (is_link(entry)) {
                // What it points to lies outside this tree.
                remove_link(child);
            } else if (is_directory(entry)) {
                rm_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
}

} // namespace

bool rm_tree(const std::wstring& path) {
    // A link may stand where a folder of ours belongs (planted, say, at a name the
    // program empties): only the link goes, for what it points to is not ours. The
    // attributes show a link on Windows and under Wine alike.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if (is_link(attributes)) {
        return remove_link(path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // Opened as it stands, not through a link, and held without delete sharing while
    // its entries go: a link put in its place since the look above shows as a link, and
    // the folder cannot be renamed away for one to take its name during the walk. (Wine's
    // handles never show a link, which its attributes above do.)
    const HANDLE folder =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false; // nor could it be listed
    }
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD opened =
        GetFileInformationByHandle(folder, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
    const bool walk = opened != INVALID_FILE_ATTRIBUTES && !is_link(opened) &&
                      (opened & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (walk) {
        remove_entries(path);
    }
    CloseHandle(folder);
    if (opened != INVALID_FILE_ATTRIBUTES && is_link(opened)) {
        return remove_link(path);
    }
    return walk && RemoveDirectoryW(path.c_str()) != FALSE;
}

bool rm_path(const std::wstring& path) {
    if (rm_tree(path)) {
        return true;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool flush_file(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != FALSE;
    CloseHandle(file);
    return flushed;
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
