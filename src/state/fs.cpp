#include "state/fs.h"

#include "state/paths.h"

#include <fcntl.h>
#include <io.h>

namespace {

constexpr DWORD kFirstWaitMs = 100;
constexpr DWORD kWaitBudgetMs = 5000;

// Another program has the file open in a way that keeps this one out, for now.
bool held_by_another(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

bool attempt_as(FsWait wait, const std::function<bool()>& attempt) {
    return wait == FsWait::retry ? fs_retry(attempt) : attempt();
}

// True when nothing is at `path`: what a removal that failed may still have achieved.
bool gone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool delete_once(const std::wstring& extended) {
    if (DeleteFileW(extended.c_str())) {
        return true;
    }
    DWORD error = GetLastError();
    if (gone(error)) {
        return true;
    }
    // A read-only file is refused as "access denied" too, and for good.
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (DeleteFileW(extended.c_str())) {
            return true;
        }
        error = GetLastError();
    }
    SetLastError(error);
    return false;
}

// "X:" or "\\server\share": the volume a path lies on, as a user names it.
std::wstring volume_of(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') {
        return path.substr(0, 2);
    }
    if (path.compare(0, 2, L"\\\\") == 0) {
        const size_t server_end = path.find(L'\\', 2);
        const size_t share_end =
            server_end == std::wstring::npos ? server_end : path.find(L'\\', server_end + 1);
        return path.substr(0, share_end);
    }
    return path;
}

// Whole megabytes of 2^20 bytes. Made by hand: std::to_wstring would bring a formatter of
// 24 KiB into the program.
std::wstring megabytes(uint64_t bytes, bool round_up) {
    const uint64_t unit = 1024 * 1024;
    uint64_t value = bytes / unit + (round_up && bytes % unit != 0 ? 1 : 0);
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

} // namespace

bool fs_retry(const std::function<bool()>& attempt) {
    DWORD waited = 0;
    for (DWORD wait = kFirstWaitMs;; wait *= 2) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if (!held_by_another(error) || waited >= kWaitBudgetMs) {
            SetLastError(error);
            return false;
        }
        const DWORD pause = wait < kWaitBudgetMs - waited ? wait : kWaitBudgetMs - waited;
        Sleep(pause);
        waited += pause;
    }
}

HANDLE fs_open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
               DWORD flags) {
    const std::wstring extended = path_extended(path);
    HANDLE file = INVALID_HANDLE_VALUE;
    fs_retry([&] {
        file = CreateFileW(extended.c_str(), access, share, nullptr, disposition, flags, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return file;
}

FILE* fs_read_stream(const std::wstring& path) {
    const HANDLE file =
        fs_open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // The descriptor owns the handle from here, and the stream the descriptor.
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "rb");
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

bool fs_rename(const std::wstring& from, const std::wstring& to, FsWait wait) {
    const std::wstring source = path_extended(from);
    const std::wstring target = path_extended(to);
    return attempt_as(wait,
                      [&] { return MoveFileExW(source.c_str(), target.c_str(), 0) != FALSE; });
}

bool fs_replace(const std::wstring& from, const std::wstring& to) {
    const std::wstring source = path_extended(from);
    const std::wstring target = path_extended(to);
    return fs_retry([&] {
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    });
}

bool fs_delete(const std::wstring& path, FsWait wait) {
    const std::wstring extended = path_extended(path);
    return attempt_as(wait, [&] { return delete_once(extended); });
}

bool fs_copy(const std::wstring& from, const std::wstring& to, bool overwrite) {
    const std::wstring source = path_extended(from);
    const std::wstring target = path_extended(to);
    const bool existed = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool copied = fs_retry([&] {
        return CopyFileW(source.c_str(), target.c_str(), overwrite ? FALSE : TRUE) != FALSE;
    });
    if (!copied) {
        const DWORD error = GetLastError();
        // What a copy cut short leaves has the name of a whole one; one that was there and
        // refused to be overwritten is not this copy's to remove.
        if (overwrite || !existed) {
            DeleteFileW(target.c_str());
        }
        SetLastError(error);
    }
    return copied;
}

bool fs_make_folder(const std::wstring& path) {
    const std::wstring extended = path_extended(path);
    if (fs_retry([&] { return CreateDirectoryW(extended.c_str(), nullptr) != FALSE; })) {
        return true;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    SetLastError(error);
    return false;
}

bool fs_remove_folder(const std::wstring& path, FsWait wait) {
    const std::wstring extended = path_extended(path);
    return attempt_as(wait, [&] { return RemoveDirectoryW(extended.c_str()) != FALSE; });
}

DWORD fs_attributes(const std::wstring& path) {
    return GetFileAttributesW(path_extended(path).c_str());
}

bool fs_size(const std::wstring& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path_extended(path).c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool fs_set_attributes(const std::wstring& path, DWORD attributes) {
    const std::wstring extended = path_extended(path);
    return fs_retry([&] { return SetFileAttributesW(extended.c_str(), attributes) != FALSE; });
}

bool fs_list(const std::wstring& pattern,
             const std::function<bool(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(path_extended(pattern).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool going = true;
    do {
        const wchar_t* name = entry.cFileName;
        const bool dots =
            name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
        if (!dots) {
            going = visit(entry);
        }
    } while (going && FindNextFileW(find, &entry));
    FindClose(find);
    return going;
}

std::wstring fs_long_name(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetLongPathNameW(path.c_str(), full.data(), static_cast<DWORD>(full.size()));
    if (length == 0 || length >= full.size()) {
        return path;
    }
    full.resize(length);
    return full;
}

bool fs_free_bytes(const std::wstring& path, uint64_t& free) {
    ULARGE_INTEGER available;
    // The extended form of a folder names it, not the volume's root, which this call
    // wants ending in a backslash.
    std::wstring folder = path_extended(path);
    if (folder.empty() || folder.back() != L'\\') {
        folder += L'\\';
    }
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    free = available.QuadPart;
    return true;
}

bool fs_disk_full(DWORD error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool fs_room_for(const std::wstring& folder, uint64_t needed, std::wstring& error) {
    uint64_t free = 0;
    if (!fs_free_bytes(folder, free) || free >= needed) {
        return true;
    }
    error = fs_room_error(folder, needed);
    return false;
}

std::wstring fs_room_error(const std::wstring& folder, uint64_t needed) {
    uint64_t free = 0;
    const std::wstring free_text = fs_free_bytes(folder, free) ? megabytes(free, false) : L"?";
    return L"not enough disk space: needs " + megabytes(needed, true) + L" MB on " +
           volume_of(folder) + L", " + free_text + L" MB free";
}

bool fs_write_all(HANDLE file, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD wrote = 0;
        if (!WriteFile(file, at, piece, &wrote, nullptr)) {
            return false;
        }
        if (wrote != piece) {
            // The system took what fitted: the rest has no room.
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        at += piece;
        size -= piece;
    }
    return true;
}
