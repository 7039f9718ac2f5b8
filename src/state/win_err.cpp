#include "state/win_err.h"

#include <cwchar>

std::wstring win_err(const wchar_t* text, unsigned long code) {
    wchar_t buffer[160];
    const int length = _snwprintf(buffer, 160, L"%ls (error %lu)", text, code);
    // A text too long for the buffer is cut, still terminated.
    buffer[159] = L'\0';
    return length >= 0 && length < 160 ? std::wstring(buffer, static_cast<size_t>(length))
                                       : std::wstring(buffer);
}
