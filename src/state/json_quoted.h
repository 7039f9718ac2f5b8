// JSON string literals, for the few records this program writes by hand.
#pragma once

#include <string>

// `value` as a JSON string: quotes, backslashes and control characters escaped (in the
// short form where there is one), other characters as they are, and each byte that
// starts no well-formed UTF-8 sequence replaced by U+FFFD, so that the text always reads
// back. Never fails.
std::string json_quoted(const std::string& value);
