// Conversions between UTF-8 (versions, JSON, log text) and UTF-16 (paths, user-visible text).
#pragma once

#include <string>
#include <vector>

// Malformed input is replaced, never rejected; an empty input gives an empty output.
std::wstring utf8_to_w(const std::string& text);
std::string w_to_utf8(const std::wstring& text);

// The items of a list such as the build's "a,b,c", in order and untrimmed; none for an
// empty text, and an empty item for each separator with nothing before or after it.
std::vector<std::string> text_split(const char* text, char separator);
