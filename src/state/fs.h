// The program's file operations: every file and folder it makes, opens, lists, renames,
// copies or removes goes through these, and no other code calls the system's file
// functions (a build check holds it to that).
//
// Each takes its path in the ordinary form and hands it to the system in the \\?\ form
// (path_extended), so that no path is cut at 260 characters. Renames, replacements,
// deletions, copies, removals of folders and opens are tried again while another
// program holds the file (errors 5, 32 and 33: a virus scanner opens each new file for a
// second or more, and a rename or delete meanwhile fails): 100 ms after the first try,
// then waits that double, for about 5 seconds in all. On failure GetLastError() is the
// last system error; a write that ran out of room says ERROR_DISK_FULL.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// How long an operation may wait for a file another program holds.
enum class FsWait {
    retry, // about 5 seconds, as above
    once,  // not at all: for what may rightly stay held (a running program's file)
};

// Runs `attempt` until it succeeds, or fails with another error than 5, 32 or 33, or the
// waits above are spent. `attempt` leaves its failure in GetLastError(), as this does.
bool fs_retry(const std::function<bool()>& attempt);

// CreateFileW on the extended path, tried again while the file is held. `flags` are the
// attributes and flags of CreateFileW. INVALID_HANDLE_VALUE on failure.
HANDLE fs_open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
               DWORD flags = FILE_ATTRIBUTE_NORMAL);

// The file opened for reading as a C stream ("rb"), others free to read, write, rename
// or delete it meanwhile. Null on failure.
FILE* fs_read_stream(const std::wstring& path);

// Renames a file or folder; fails when `to` exists (ERROR_ALREADY_EXISTS).
bool fs_rename(const std::wstring& from, const std::wstring& to, FsWait wait = FsWait::retry);

// Renames a file over another, replacing it.
bool fs_replace(const std::wstring& from, const std::wstring& to);

// Deletes a file, a read-only one too. True when no file is left at `path`, also when
// there was none.
bool fs_delete(const std::wstring& path, FsWait wait = FsWait::retry);

// Copies a file. A copy that fails part-way (a full disk) is removed, never left short;
// with `overwrite` false an existing `to` fails the copy and stays as it was.
bool fs_copy(const std::wstring& from, const std::wstring& to, bool overwrite);

// Makes a folder (its parent must exist). True when a folder is there afterwards.
bool fs_make_folder(const std::wstring& path);

// Removes an empty folder.
bool fs_remove_folder(const std::wstring& path, FsWait wait = FsWait::retry);

// The attributes of what `path` names; INVALID_FILE_ATTRIBUTES when nothing is there or
// it cannot be asked.
DWORD fs_attributes(const std::wstring& path);

// The size of the file at `path`; false when it cannot be asked (none is there, say).
bool fs_size(const std::wstring& path, uint64_t& size);

// Sets the attributes (FILE_ATTRIBUTE_NORMAL clears read-only, hidden and system).
bool fs_set_attributes(const std::wstring& path, DWORD attributes);

// Calls `visit` with each entry that `pattern` (a folder, a backslash and a name that may
// hold "*") matches, "." and ".." left out, until it returns false. False when the
// folder cannot be listed (a missing folder, or nothing matches) or `visit` stopped.
bool fs_list(const std::wstring& pattern,
             const std::function<bool(const WIN32_FIND_DATAW&)>& visit);

// The path with every short (8.3) name in it spelled out; as given when that fails.
std::wstring fs_long_name(const std::wstring& path);

// The bytes free to this user on the volume that holds `path` (which must exist); false
// when the system cannot say.
bool fs_free_bytes(const std::wstring& path, uint64_t& free);

// True for a failure that means the disk is full: ERROR_DISK_FULL or
// ERROR_HANDLE_DISK_FULL.
bool fs_disk_full(DWORD error);

// Whether the volume that holds the folder `folder` has `needed` bytes free. False, with
// `error` set as fs_room_error says, when it has not; true when the system cannot say,
// for the writes to find out.
bool fs_room_for(const std::wstring& folder, uint64_t needed, std::wstring& error);

// "not enough disk space: needs N MB on X:, M MB free": `needed` bytes rounded up and
// what is free now rounded down, in MB of 2^20 bytes, X: the volume of `folder` (its drive,
// or \\server\share).
std::wstring fs_room_error(const std::wstring& folder, uint64_t needed);

// Writes all `size` bytes at the file's position. A write the system takes only in part
// is a full disk: false with ERROR_DISK_FULL.
bool fs_write_all(HANDLE file, const void* data, size_t size);
