// Unpacking a release package.
#pragma once

#include <string>

// Unpacks the ZIP `package` into `dest` (created, one level, once the package reads as
// a ZIP), replacing files that exist. Entries whose names could land outside `dest` or
// on another name than their own are skipped without a word. On failure `error` says
// why; entries written before a failing one stay, for the caller to remove.
bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error);
