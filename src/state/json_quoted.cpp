#include "state/json_quoted.h"

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

} // namespace

// Replacing each stray byte keeps every record readable: a strict reader would refuse
// the whole text for one of them.
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
