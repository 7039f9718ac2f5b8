// JSON text parsed strictly: exactly one value, no comments, nothing but whitespace after.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// A value whose is_discarded() is true when the text is not exactly one JSON value.
// Never throws.
nlohmann::json parse_strict_json(const std::string& text);
