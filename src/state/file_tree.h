// Directory-tree primitives. Paths are absolute, with backslashes and no trailing one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Deletes everything below `path`, then `path` itself, best effort: an entry that
// resists (a file held open, say) does not stop the walk. While what resists is held by
// another program, the walk is made again as the file operations wait (state/fs.h),
// for the whole tree rather than for each of its files. True when `path` is gone;
// false, touching nothing, when it is missing or a plain file. Links (junctions,
// symbolic links), `path` itself included, are removed as links, never walked into:
// what they point to stays. Wine cannot remove the Unix links it shows as links, so
// there such a link stays too, and the result is false.
bool rm_tree(const std::wstring& path);

// Removes whatever stands at `path`: a folder tree as rm_tree does, or a file. True when
// nothing is left there.
bool rm_path(const std::wstring& path);

// Writes the data the system still holds for the file through to the disk. False when
// it cannot be opened for writing or the flush fails.
bool flush_file(const std::wstring& path);

// Sum of the logical sizes of all files below `path`; unreadable parts count 0.
// Links to directories count nothing.
uint64_t dir_size(const std::wstring& path);

// Creates base\<each directory that the relative file path `rel` names before its
// last component>, outermost first. Failures show up later, when the file is created.
void ensure_parent_dirs(const std::wstring& base, const std::wstring& rel);

// Calls `visit` with the path of each file below `path`, at any depth, relative to `path`
// ("lib\x.dll"), until it returns false. Links to directories are not walked into.
// False when `visit` stopped the walk or a folder could not be listed.
bool walk_files(const std::wstring& path, const std::function<bool(const std::wstring&)>& visit);
