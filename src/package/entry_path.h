// Where a safe archive or delta entry name leads below the folder it is written to, as
// the file system sees it.
#pragma once

#include <string>

// The relative path `name` (slashes as separators) leads to, its components joined by
// backslashes, without the empty and "." components that lead nowhere; empty when it
// leads nowhere at all. `last_is_folder` tells whether the name ends in a separator or a
// "." component. Never fails; the name's safety is entry_name_is_safe's to judge.
std::wstring entry_path(const std::wstring& name, bool& last_is_folder);

// The path as the file system compares it: letter case does not tell files apart.
std::wstring entry_path_folded(const std::wstring& path);
