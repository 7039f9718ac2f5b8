#include "state/strict_json.h"

nlohmann::json parse_strict_json(const std::string& text) {
    // The parser takes a NUL byte for the end of the input and would ignore whatever
    // follows it; valid JSON text never holds one.
    if (text.find('\0') != std::string::npos) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, false, false);
}
