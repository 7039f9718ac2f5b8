#include "update/release_json.h"

#include "state/strict_json.h"

namespace {

// Counted outside strings only; a text too deep is refused whole, as the release tool's
// reader, which recurses, refuses it.
size_t nesting_depth(const std::string& text) {
    size_t depth = 0;
    size_t deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = ++depth > deepest ? depth : deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace

nlohmann::json parse_release_json(const std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || nesting_depth(text) > kReleaseJsonDepth) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return parse_strict_json(text);
}
