#include "state/update_log.h"

#include "build_config.h"
#include "state/fs.h"
#include "state/paths.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

constexpr unsigned long long log_size_bound = 262144;

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

// Where the log goes: below the root, or in the temporary folder when the root itself
// cannot be found, for that is worth a line too.
std::wstring log_path() {
    return root_dir().empty() ? rootless_log_file() : log_file();
}

// Whether a line of the log holds `message` as its whole message.
bool logged_already(const std::wstring& path, const std::string& message) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = fs_open(path, GENERIC_READ, share, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The log is kept below its bound; what grew past it meanwhile is read no further.
    std::string text(static_cast<size_t>(log_size_bound) * 2, '\0');
    DWORD got = 0;
    const bool read = ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
    CloseHandle(file);
    text.resize(read ? got : 0);
    return text.find("] " + message + "\n") != std::string::npos;
}

void write_line(const std::string& message, bool once) {
    char timestamp[32] = "";
    const __time64_t now = _time64(nullptr);
    struct tm local;
    if (_localtime64_s(&local, &now) == 0) {
        strftime(timestamp, sizeof timestamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    const std::string line = std::string(timestamp) + " [" + STUB_VERSION + "] " + message + "\n";
    const std::wstring path = log_path();
    if (path.empty() || (once && logged_already(path, message))) {
        return;
    }
    // Appended in one write, at the end wherever that is then: lines of two processes
    // never interleave, and one that reads the log meanwhile sees whole lines. Readers
    // may share it, a scanner included.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file =
        fs_open(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, OPEN_ALWAYS);
    LARGE_INTEGER size = {};
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) &&
        static_cast<unsigned long long>(size.QuadPart) > log_size_bound) {
        CloseHandle(file);
        file = fs_open(path, GENERIC_WRITE, share, CREATE_ALWAYS);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    fs_write_all(file, line.data(), line.size());
    CloseHandle(file);
}

} // namespace

void log_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = one_line(format, args);
    va_end(args);
    write_line(message, false);
}

void log_line_once(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = one_line(format, args);
    va_end(args);
    write_line(message, true);
}
