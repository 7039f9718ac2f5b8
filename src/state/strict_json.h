// JSON text parsed strictly: exactly one value, no comments, nothing but whitespace after.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// A value whose is_discarded() is true when the text is not exactly one JSON value.
// Never throws.
nlohmann::json parse_strict_json(const std::string& text);

// The string member `key` of `object`; empty when it is absent or not a string. When
// `wrong_type` is given, it is set for a member that is present but not a string.
std::string json_string_member(const nlohmann::json& object, const char* key,
                               bool* wrong_type = nullptr);
