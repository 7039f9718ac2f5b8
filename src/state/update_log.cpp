#include "state/update_log.h"

#include "build_config.h"
#include "state/paths.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

constexpr unsigned long long log_size_bound = 262144;

// Appends, or starts the file afresh once it has grown past the bound.
const wchar_t* open_mode_for(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
        return L"ab";
    }
    const unsigned long long size =
        (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return size > log_size_bound ? L"wb" : L"ab";
}

// The message formatted whole, its line breaks turned into spaces: every line of the log
// is one event, even when a text from elsewhere (a server's URL, a multi-line error
// meant for a box) holds a line break.
std::string one_line(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

} // namespace

void log_line(const char* format, ...) {
    const std::wstring path = log_file();
    FILE* file = _wfopen(path.c_str(), open_mode_for(path));
    if (file == nullptr) {
        return;
    }
    char timestamp[32] = "";
    const __time64_t now = _time64(nullptr);
    struct tm local;
    if (_localtime64_s(&local, &now) == 0) {
        strftime(timestamp, sizeof timestamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    va_list args;
    va_start(args, format);
    const std::string message = one_line(format, args);
    va_end(args);
    fprintf(file, "%s [%s] ", timestamp, STUB_VERSION);
    fwrite(message.data(), 1, message.size(), file);
    fputc('\n', file);
    fclose(file);
}
