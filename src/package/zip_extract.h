// Unpacking a release package.
#pragma once

#include <string>

// Unpacks the ZIP `package` into `dest` (created, one level, once the package reads as
// a ZIP), replacing files that exist. Entries whose names could land outside `dest` or
// on another name than their own are skipped without a word. Each entry streams to its
// file through a buffer of fixed size, two at a time. Fails ("package extraction
// failed") when an entry cannot be read or written, when two would land on one file
// (names equal but for letter case or "." components, or a short name standing for
// another's long one, included), or when entries share their data; then no further
// entry is begun. A failing entry leaves no file, but entries written before or beside
// it stay, for the caller to remove. "cannot open package" and "package
// is not a valid zip" fail it before anything is created.
bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error);
