// The JSON the update server publishes, latest.json and the manifest it carries, read by
// the rules the release tool writes and verifies by.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Deepest nesting of arrays and objects a published text may have.
constexpr size_t kReleaseJsonDepth = 64;

// Strict JSON (one value, no comments, nothing after it) that starts without a
// byte-order mark and nests at most kReleaseJsonDepth deep; a discarded value
// otherwise. Never throws.
nlohmann::json parse_release_json(const std::string& text);
