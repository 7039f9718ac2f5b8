#include "state/text.h"

#include <windows.h>

#include <climits>

std::wstring utf8_to_w(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return std::wstring();
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string w_to_utf8(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::string();
    }
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

std::vector<std::string> text_split(const char* text, char separator) {
    std::vector<std::string> items;
    if (*text == '\0') {
        return items;
    }
    const char* begin = text;
    for (const char* at = text;; ++at) {
        if (*at == separator || *at == '\0') {
            items.emplace_back(begin, at);
            if (*at == '\0') {
                return items;
            }
            begin = at + 1;
        }
    }
}
