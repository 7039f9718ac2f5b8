// Directory-tree primitives. Paths are absolute, with backslashes and no trailing one.
#pragma once

#include <cstdint>
#include <string>

// Deletes everything below `path`, then `path` itself, best effort: an entry that
// resists (a file held open, say) does not stop the walk. True when `path` is gone.
// Links to directories (junctions, symbolic links) are removed, never walked into.
bool rm_tree(const std::wstring& path);

// Sum of the logical sizes of all files below `path`; unreadable parts count 0.
// Links to directories count nothing.
uint64_t dir_size(const std::wstring& path);

// Creates base\<each directory that the relative file path `rel` names before its
// last component>, outermost first. Failures show up later, when the file is created.
void ensure_parent_dirs(const std::wstring& base, const std::wstring& rel);
