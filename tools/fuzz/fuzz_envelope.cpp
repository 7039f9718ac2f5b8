// The signed envelope of latest.json up to its signature check, which needs Windows, and
// Base64 on its own: a text that decodes is the one spelling of its bytes.
#include "update/envelope_decode.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string b64_encode(const std::vector<unsigned char>& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                               (left > 1 ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
                               (left > 2 ? bytes[i + 2] : 0);
        for (size_t digit = 0; digit < 4; ++digit) {
            text += digit <= left ? kAlphabet[group >> (18 - 6 * digit) & 63] : '=';
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned char> bytes;
    if (b64_decode(text, bytes) && b64_encode(bytes) != text) {
        std::abort();
    }
    std::vector<unsigned char> payload, signature;
    envelope_decode(text, payload, signature);
    return 0;
}
