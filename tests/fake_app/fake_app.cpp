// A stand-in for the application in tests. Each start appends two lines to
// "launches.txt" beside the executable:
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

void record_launch(const std::wstring& folder) {
    wchar_t current[MAX_PATH * 2] = L"";
    GetCurrentDirectoryW(MAX_PATH * 2, current);
    FILE* file = _wfopen((folder + L"\\launches.txt").c_str(), L"ab");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "cmd=%s\ncwd=%s\n", w_to_utf8(GetCommandLineW()).c_str(),
            w_to_utf8(current).c_str());
    fclose(file);
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
