#include "state/hex_digest.h"

std::string digest_lowercase(const std::string& text) {
    if (text.size() != 64) {
        return std::string();
    }
    std::string digest = text;
    for (char& c : digest) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return std::string();
        }
    }
    return digest;
}
