#include "state/install_state_json.h"

#include "state/strict_json.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// Length of the well-formed UTF-8 sequence at `at`, or 0 when it is not one (a stray or
// missing continuation byte, an overlong form, a surrogate, a value past U+10FFFF).
size_t utf8_sequence_length(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80; // bounds of the second byte, which rule out the bad forms
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// `value` as a JSON string: quotes, backslashes and control characters escaped (in the
// short form where there is one), other characters as they are, and each byte that
// starts no well-formed UTF-8 sequence replaced by U+FFFD, so that the file always reads
// back.
std::string json_quoted(const std::string& value) {
    static const char kHex[] = "0123456789abcdef";
    std::string quoted = "\"";
    for (size_t at = 0; at < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[at]);
        const size_t length = utf8_sequence_length(value, at);
        const char* short_form = c == '"'    ? "\\\""
                                 : c == '\\' ? "\\\\"
                                 : c == '\b' ? "\\b"
                                 : c == '\f' ? "\\f"
                                 : c == '\n' ? "\\n"
                                 : c == '\r' ? "\\r"
                                 : c == '\t' ? "\\t"
                                             : nullptr;
        if (length == 0) {
            quoted += "\xef\xbf\xbd";
        } else if (short_form != nullptr) {
            quoted += short_form;
        } else if (c < 0x20) {
            quoted += "\\u00";
            quoted += kHex[c >> 4];
            quoted += kHex[c & 15];
        } else {
            quoted.append(value, at, length);
        }
        at += length == 0 ? 1 : length;
    }
    return quoted + '"';
}

} // namespace

bool state_from_json(const std::string& text, InstallState& state) {
    state = InstallState();
    const json document = parse_strict_json(text);
    if (!document.is_object()) {
        return false;
    }
    state.installed = json_string_member(document, "installed");
    state.staged = json_string_member(document, "staged");
    state.prev = json_string_member(document, "prev");
    const auto issued = document.find("issued");
    if (issued != document.end() && issued->is_number_unsigned()) {
        state.issued = issued->get<uint64_t>();
    }
    const auto bucket = document.find("bucket");
    if (bucket != document.end() && bucket->is_number_unsigned() && bucket->get<uint64_t>() < 100) {
        state.bucket = static_cast<int>(bucket->get<uint64_t>());
    }
    const auto bad = document.find("bad");
    if (bad != document.end() && bad->is_array()) {
        for (const json& entry : *bad) {
            if (entry.is_string()) {
                state.bad.push_back(entry.get_ref<const std::string&>());
            }
        }
    }
    return !state.installed.empty();
}

std::string state_to_json(const InstallState& state) {
    // Written by hand: the library's serializer would add more code to the program than
    // the whole record's reading does. Keys in sorted order, two-space indent.
    std::string text = "{\n";
    const auto member = [&text](const char* key, const std::string& value_text) {
        if (text.size() > 2) {
            text += ",\n";
        }
        text += "  \"";
        text += key;
        text += "\": ";
        text += value_text;
    };
    if (!state.bad.empty()) {
        std::string list = "[";
        for (const std::string& version : state.bad) {
            list += list.size() > 1 ? ",\n    " : "\n    ";
            list += json_quoted(version);
        }
        member("bad", list + "\n  ]");
    }
    if (state.bucket >= 0) {
        member("bucket", std::to_string(state.bucket));
    }
    member("installed", json_quoted(state.installed));
    if (state.issued != 0) {
        member("issued", std::to_string(state.issued));
    }
    if (!state.prev.empty()) {
        member("prev", json_quoted(state.prev));
    }
    if (!state.staged.empty()) {
        member("staged", json_quoted(state.staged));
    }
    return text + "\n}";
}
