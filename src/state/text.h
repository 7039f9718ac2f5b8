// Conversions between UTF-8 (versions, JSON, log text) and UTF-16 (paths, user-visible text).
#pragma once

#include <string>

// Malformed input is replaced, never rejected; an empty input gives an empty output.
std::wstring utf8_to_w(const std::string& text);
std::string w_to_utf8(const std::wstring& text);
