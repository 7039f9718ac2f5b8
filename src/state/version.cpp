#include "state/version.h"

namespace {

constexpr int max_components = 4;
constexpr int max_significant_digits = 8;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool ver_parse(const std::string& text, Ver& version) {
    for (int& part : version.parts) {
        part = 0;
    }
    if (text.empty()) {
        return false;
    }
    int component = 0;
    int digits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_digit(c)) {
            if (digits < max_significant_digits) {
                version.parts[component] = version.parts[component] * 10 + (c - '0');
            }
            ++digits;
        } else if (c == '.') {
            const bool next_is_digit = i + 1 < text.size() && is_digit(text[i + 1]);
            if (digits == 0 || component == max_components - 1 || !next_is_digit) {
                return false;
            }
            ++component;
            digits = 0;
        } else {
            return false;
        }
    }
    return true;
}

int ver_cmp(const Ver& a, const Ver& b) {
    for (int i = 0; i < max_components; ++i) {
        if (a.parts[i] != b.parts[i]) {
            return a.parts[i] > b.parts[i] ? 1 : -1;
        }
    }
    return 0;
}

bool ver_valid(const std::string& text) {
    Ver parsed;
    return ver_parse(text, parsed);
}

bool ver_newer(const std::string& a, const std::string& b) {
    Ver left;
    Ver right;
    return ver_parse(a, left) && ver_parse(b, right) && ver_cmp(left, right) == 1;
}
