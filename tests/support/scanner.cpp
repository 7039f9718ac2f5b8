// Behaves as a virus scanner does towards the files a program writes, for end-to-end
// tests: watches a folder and everything below it, and opens each file that is made or
// changed there, as soon as its writer lets go of it, for reading with others allowed to
// read only (no write, rename or delete meanwhile), and holds it so for a set time.
//
//   scanner FOLDER HOLD_MS [ONLY]
//       Prints "watching" once it watches, then "held <path>" (relative to FOLDER) for
//       each file it holds, until ended. With ONLY, a folder below FOLDER, holds only
//       what lies below that one: it watches from above it, as a scanner holds no handle
//       to a folder that would keep it from being removed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

// How long a file may stay in its writer's hands before the scanner gives up on it.
const ULONGLONG kPendingMs = 60000;
const DWORD kTickMs = 10;

struct Held {
    HANDLE file;
    ULONGLONG until;
};

std::string utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Asks for the next changes below the folder; false when it cannot be watched.
bool watch(HANDLE folder, std::vector<DWORD>& buffer, OVERLAPPED& pending) {
    const DWORD kinds = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                        FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_CREATION;
    return ReadDirectoryChangesW(folder, buffer.data(),
                                 static_cast<DWORD>(buffer.size() * sizeof(DWORD)), TRUE, kinds,
                                 nullptr, &pending, nullptr) != FALSE;
}

// The files the notifications in `buffer` name as made, changed or renamed to.
// A file held cannot change meanwhile: what is said of it then was said of the change it
// is held for, and asks for no second hold.
void note_changes(const std::vector<DWORD>& buffer, DWORD bytes, const std::wstring& only,
                  const std::map<std::wstring, Held>& held,
                  std::map<std::wstring, ULONGLONG>& pending) {
    if (bytes == 0) {
        return;
    }
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
        const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
        if (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_MODIFIED ||
            change->Action == FILE_ACTION_RENAMED_NEW_NAME) {
            const std::wstring name(change->FileName, change->FileNameLength / sizeof(wchar_t));
            if (held.count(name) == 0 &&
                (only.empty() ||
                 _wcsnicmp(name.c_str(), (only + L"\\").c_str(), only.size() + 1) == 0)) {
                pending.emplace(name, GetTickCount64() + kPendingMs);
            }
        }
        if (change->NextEntryOffset == 0) {
            return;
        }
        at += change->NextEntryOffset;
    }
}

int scan(const std::wstring& root, DWORD hold_ms, const std::wstring& only) {
    const HANDLE folder = CreateFileW(
        root.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        std::printf("cannot watch (error %lu)\n", GetLastError());
        return 1;
    }
    std::vector<DWORD> buffer(16384);
    OVERLAPPED changes = {};
    changes.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!watch(folder, buffer, changes)) {
        std::printf("cannot watch (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    std::map<std::wstring, ULONGLONG> pending; // name -> when to give up on it
    std::map<std::wstring, Held> held;
    for (;;) {
        if (WaitForSingleObject(changes.hEvent, kTickMs) == WAIT_OBJECT_0) {
            DWORD bytes = 0;
            if (GetOverlappedResult(folder, &changes, &bytes, FALSE)) {
                note_changes(buffer, bytes, only, held, pending);
            }
            ResetEvent(changes.hEvent);
            if (!watch(folder, buffer, changes)) {
                return 1; // the folder is gone
            }
        }
        const ULONGLONG now = GetTickCount64();
        for (auto it = held.begin(); it != held.end();) {
            if (now >= it->second.until) {
                CloseHandle(it->second.file);
                it = held.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = pending.begin(); it != pending.end();) {
            if (held.count(it->first) != 0) {
                ++it; // changed while held cannot be: it waits for the next round
                continue;
            }
            const HANDLE file = CreateFileW((root + L"\\" + it->first).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            const DWORD error = GetLastError();
            if (file != INVALID_HANDLE_VALUE) {
                held[it->first] = {file, now + hold_ms};
                std::printf("held %s\n", utf8(it->first).c_str());
                std::fflush(stdout);
                it = pending.erase(it);
            } else if ((error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) &&
                       now < it->second) {
                ++it; // its writer still has it
            } else {
                it = pending.erase(it); // gone, a folder, or never let go of
            }
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: scanner FOLDER HOLD_MS [ONLY]\n");
        return 2;
    }
    return scan(argv[1], static_cast<DWORD>(_wtoi(argv[2])), argc == 4 ? argv[3] : L"");
}
