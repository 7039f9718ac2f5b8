// Two version strings, split at the first newline, parsed and ordered.
#include "state/version.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t split = text.find('\n');
    const std::string a = text.substr(0, split);
    const std::string b = split == std::string::npos ? std::string() : text.substr(split + 1);
    Ver left, right;
    const bool left_ok = ver_parse(a, left);
    const bool right_ok = ver_parse(b, right);
    if (ver_valid(a) != left_ok) {
        std::abort();
    }
    for (const int part : left.parts) {
        if (part < 0 || part > 99999999) {
            std::abort();
        }
    }
    // The order is total and antisymmetric, and ver_newer asks it of valid versions only.
    const int order = ver_cmp(left, right);
    if (order != -ver_cmp(right, left) || ver_cmp(left, left) != 0 ||
        ver_newer(a, b) != (left_ok && right_ok && order == 1)) {
        std::abort();
    }
    return 0;
}
