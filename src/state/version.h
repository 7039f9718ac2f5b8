// Release version strings: one to four dot-separated runs of decimal digits.
#pragma once

#include <string>

struct Ver {
    int parts[4]; // most significant first; components not given are 0
};

// True for a valid version. Digits past the eighth of a component are ignored, so
// no component exceeds 99,999,999.
bool ver_parse(const std::string& text, Ver& version);

// 1 when a > b, -1 when a < b, 0 when equal.
int ver_cmp(const Ver& a, const Ver& b);

// True for a version ver_parse accepts: digits and dots only, so that as a folder name
// it stays below the root.
bool ver_valid(const std::string& text);

// True only when both are valid and a is strictly newer than b.
bool ver_newer(const std::string& a, const std::string& b);
