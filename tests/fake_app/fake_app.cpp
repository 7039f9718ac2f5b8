// A stand-in for the application in tests. Each start appends a record of two lines to
// "launches.txt" beside the executable, in one write:
//   cmd=<its command line>
//   cwd=<its current folder>
// then waits and exits. The exit code comes from "exit_code.txt" beside it, else from
// "-exit<N>" in its file name, else 0; the wait in milliseconds likewise from
// "delay_ms.txt" or "-sleep<N>".
#include "state/paths.h"
#include "state/text.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool read_number_file(const std::wstring& path, unsigned long& value) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = fscanf(file, "%lu", &value) == 1;
    fclose(file);
    return ok;
}

bool read_name_token(const std::wstring& name, const wchar_t* token, unsigned long& value) {
    const size_t at = name.find(token);
    if (at == std::wstring::npos) {
        return false;
    }
    value = wcstoul(name.c_str() + at + wcslen(token), nullptr, 10);
    return true;
}

unsigned long setting(const std::wstring& folder, const std::wstring& name,
                      const wchar_t* file_name, const wchar_t* token) {
    unsigned long value = 0;
    if (!read_number_file(folder + L"\\" + file_name, value)) {
        read_name_token(name, token, value);
    }
    return value;
}

// One record, written at once: a test reading the file meanwhile sees it whole or not
// at all, never one line of it.
void record_launch(const std::wstring& folder) {
    wchar_t current[MAX_PATH * 2] = L"";
    GetCurrentDirectoryW(MAX_PATH * 2, current);
    const std::string record =
        "cmd=" + w_to_utf8(GetCommandLineW()) + "\ncwd=" + w_to_utf8(current) + "\n";
    // A scanner may hold the record it just saw change for a while.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 1000 && file == INVALID_HANDLE_VALUE; ++tries) {
        file = CreateFileW((folder + L"\\launches.txt").c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) {
            return;
        }
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(20);
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD wrote = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &wrote, nullptr);
    CloseHandle(file);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring path = own_path();
    const size_t slash = path.rfind(L'\\');
    const std::wstring folder = path.substr(0, slash);
    const std::wstring name = path.substr(slash + 1);
    record_launch(folder);
    Sleep(setting(folder, name, L"delay_ms.txt", L"-sleep"));
    return static_cast<int>(setting(folder, name, L"exit_code.txt", L"-exit"));
}
