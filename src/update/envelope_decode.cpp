#include "update/envelope_decode.h"

#include "state/strict_json.h"
#include "update/release_json.h"

#include <cstdint>

namespace {

const size_t kSignatureSize = 64;

int b64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

} // namespace

bool b64_decode(const std::string& text, std::vector<unsigned char>& bytes) {
    // Exactly one spelling of each byte string is accepted: the standard alphabet, the
    // length a multiple of four, at most two "=" and only at the end, and no bits set
    // past the last byte. The release tool reads by the same rule.
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    const size_t padding = text.compare(text.size() - 2, 2, "==") == 0  ? 2
                           : text.compare(text.size() - 1, 1, "=") == 0 ? 1
                                                                        : 0;
    const size_t digits = text.size() - padding;
    bytes.clear();
    bytes.reserve(digits * 3 / 4);
    uint32_t bits = 0;
    int pending = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int value = b64_value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            bytes.push_back(static_cast<unsigned char>(bits >> pending));
        }
    }
    return (bits & ((1u << pending) - 1)) == 0;
}

bool envelope_decode(const std::string& text, std::vector<unsigned char>& payload,
                     std::vector<unsigned char>& signature) {
    const nlohmann::json envelope = parse_release_json(text);
    return envelope.is_object() && b64_decode(json_string_member(envelope, "payload"), payload) &&
           b64_decode(json_string_member(envelope, "sig"), signature) &&
           signature.size() == kSignatureSize;
}
