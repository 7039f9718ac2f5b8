#include "state/strict_json.h"

nlohmann::json parse_strict_json(const std::string& text) {
    // The parser takes a NUL byte for the end of the input and would ignore whatever
    // follows it; valid JSON text never holds one.
    if (text.find('\0') != std::string::npos) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, false, false);
}

std::string json_string_member(const nlohmann::json& object, const char* key, bool* wrong_type) {
    const auto member = object.find(key);
    if (member == object.end()) {
        return std::string();
    }
    if (!member->is_string()) {
        if (wrong_type != nullptr) {
            *wrong_type = true;
        }
        return std::string();
    }
    return member->get_ref<const std::string&>();
}
