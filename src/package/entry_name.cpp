#include "package/entry_name.h"

#include <cstring>

namespace {

bool equals_ignoring_case(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char c = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// Windows maps these names to devices in any folder, whatever follows the first dot
// and with trailing spaces ignored.
bool names_device(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : fixed) {
        if (equals_ignoring_case(base, device)) {
            return true;
        }
    }
    // COM0-COM9 and LPT0-LPT9, and the superscript digits one to three in UTF-8.
    const bool port = equals_ignoring_case(base.substr(0, 3), "COM") ||
                      equals_ignoring_case(base.substr(0, 3), "LPT");
    if (!port) {
        return false;
    }
    const std::string digit = base.substr(3);
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

bool component_is_safe(const std::string& component) {
    if (component.empty() || component == ".") {
        return true;
    }
    if (component == ".." || component.back() == '.' || component.back() == ' ') {
        return false;
    }
    return !names_device(component);
}

} // namespace

bool entry_name_is_safe(const std::string& name) {
    if (name.empty() || name[0] == '/' ||
        name.find_first_of(std::string(":\0", 2)) != std::string::npos) {
        return false;
    }
    size_t begin = 0;
    for (;;) {
        const size_t end = name.find('/', begin);
        if (!component_is_safe(name.substr(begin, end - begin))) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        begin = end + 1;
    }
}
