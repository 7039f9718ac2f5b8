// SHA-256 digests as text. Free of Windows calls, so that the parsers that use it are
// also fuzzed natively.
#pragma once

#include <string>

// `text` as a SHA-256 digest in lowercase when it is one, 64 hexadecimal digits in either
// case; empty for anything else.
std::string digest_lowercase(const std::string& text);
