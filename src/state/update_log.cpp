#include "state/update_log.h"

#include "build_config.h"
#include "state/paths.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

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

} // namespace

void log_line(const char* format, ...) {
    const std::wstring path = root_dir() + L"\\updater.log";
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
    fprintf(file, "%s [%s] ", timestamp, STUB_VERSION);
    va_list args;
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fclose(file);
}
