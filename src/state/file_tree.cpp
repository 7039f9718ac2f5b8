#include "state/file_tree.h"

#include "state/fs.h"

#include <windows.h>

namespace {

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
    return fs_list(path + L"\\" + rel + L"*", [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring child = rel + entry.cFileName;
        if (!is_directory(entry)) {
            return visit(child);
        }
        return is_link(entry) || walk_below(path, child + L"\\", visit);
    });
}

// Removes a link itself, never what it points to: through a handle opened on the link
// and seen to be one. Removing by name is not safe everywhere: Wine, whose handles never
// show a link, removes a link's empty target folder that way.
bool remove_link(const std::wstring& path) {
    const HANDLE link = fs_open(
        path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
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

// The first failure of a pass that another program's hold explains: worth another pass.
struct Removal {
    DWORD held = 0;
    DWORD last = 0;

    void failed() {
        last = GetLastError();
        if (held == 0 && (last == ERROR_ACCESS_DENIED || last == ERROR_SHARING_VIOLATION ||
                          last == ERROR_LOCK_VIOLATION)) {
            held = last;
        }
    }
};

bool remove_folder_once(const std::wstring& path, Removal& removal);

// Deletes what the folder `path` holds, once each; remove_folder_once has checked that
// it is no link.
void remove_entries(const std::wstring& path, Removal& removal) {
    fs_list(path + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring child = path + L"\\" + entry.cFileName;
        // What a link points to lies outside this tree.
        const bool removed = is_link(entry)        ? remove_link(child)
                             : is_directory(entry) ? remove_folder_once(child, removal)
                                                   : fs_delete(child, FsWait::once);
        if (!removed) {
            removal.failed();
        }
        return true;
    });
}

// One pass over the tree, waiting for nothing. True when `path` is gone.
bool remove_folder_once(const std::wstring& path, Removal& removal) {
    // Opened as it stands, not through a link, and held without delete sharing while
    // its entries go: a link put in its place since it was looked at shows as a link,
    // and the folder cannot be renamed away for one to take its name during the walk.
    // (Wine's handles never show a link, which its attributes do.)
    const HANDLE folder = fs_open(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (folder == INVALID_HANDLE_VALUE) {
        removal.failed();
        return false; // nor could it be listed
    }
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD opened =
        GetFileInformationByHandle(folder, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
    const bool walk = opened != INVALID_FILE_ATTRIBUTES && !is_link(opened) &&
                      (opened & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (walk) {
        remove_entries(path, removal);
    }
    CloseHandle(folder);
    if (opened != INVALID_FILE_ATTRIBUTES && is_link(opened)) {
        return remove_link(path);
    }
    if (walk && fs_remove_folder(path, FsWait::once)) {
        return true;
    }
    removal.failed();
    return false;
}

} // namespace

bool rm_tree(const std::wstring& path) {
    // A link may stand where a folder of ours belongs (planted, say, at a name the
    // program empties): only the link goes, for what it points to is not ours. The
    // attributes show a link on Windows and under Wine alike.
    const DWORD attributes = fs_attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if (is_link(attributes)) {
        return remove_link(path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // Pass after pass while another program holds something in it (a scanner reading a
    // file just written): the waits bound the whole tree, not each of its files, for a
    // running program's files stay held however long one waits.
    return fs_retry([&] {
        Removal removal;
        if (remove_folder_once(path, removal)) {
            return true;
        }
        SetLastError(removal.held != 0 ? removal.held : removal.last);
        return false;
    });
}

bool rm_path(const std::wstring& path) {
    const DWORD attributes = fs_attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const bool folder_or_link =
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
    return folder_or_link ? rm_tree(path) : fs_delete(path);
}

bool flush_file(const std::wstring& path) {
    const HANDLE file = fs_open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != FALSE;
    CloseHandle(file);
    return flushed;
}

uint64_t dir_size(const std::wstring& path) {
    uint64_t total = 0;
    fs_list(path + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        if (!is_directory(entry)) {
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        } else if (!is_link(entry)) {
            total += dir_size(path + L"\\" + entry.cFileName);
        }
        return true;
    });
    return total;
}

void ensure_parent_dirs(const std::wstring& base, const std::wstring& rel) {
    for (size_t slash = rel.find(L'\\'); slash != std::wstring::npos;
         slash = rel.find(L'\\', slash + 1)) {
        fs_make_folder(base + L"\\" + rel.substr(0, slash));
    }
}

bool walk_files(const std::wstring& path, const std::function<bool(const std::wstring&)>& visit) {
    return walk_below(path, L"", visit);
}
