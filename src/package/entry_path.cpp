#include "package/entry_path.h"

#include <windows.h>

std::wstring entry_path(const std::wstring& name, bool& last_is_folder) {
    std::wstring path;
    size_t begin = 0;
    for (;;) {
        const size_t end = name.find(L'/', begin);
        const std::wstring component = name.substr(begin, end - begin);
        last_is_folder = component.empty() || component == L".";
        if (!last_is_folder) {
            path += (path.empty() ? L"" : L"\\") + component;
        }
        if (end == std::wstring::npos) {
            return path;
        }
        begin = end + 1;
    }
}

std::wstring entry_path_folded(const std::wstring& path) {
    std::wstring folded(path);
    if (!folded.empty()) {
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                      static_cast<int>(path.size()), &folded[0], static_cast<int>(folded.size()),
                      nullptr, nullptr, 0);
    }
    return folded;
}
