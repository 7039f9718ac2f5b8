// A stand-in for the application in tests. Each start appends a record of two lines to
// "launches.txt" beside the executable, in one write:
//   cmd=<its command line>
//   cwd=<its current folder>
// then waits and exits. The exit code comes from "exit_code.txt" beside it, else from
// "-exit<N>" in its file name, else 0; the wait in milliseconds likewise from
// "delay_ms.txt" or "-sleep<N>".
//
// It is an application of the update client too. With "client.txt" beside it, holding
// "periodic <interval ms>" and, on a line of its own, "restart", it checks at once and
// then every interval, appending one line per check to "checks.txt" beside it:
//   check=<code> installed=<v> staged=<v> latest=<v> error=<text>
// and, with "restart", restarts to update as soon as a version is staged, ending the wait
// with exit code 0 (and "end=<its folder's name>" recorded as events are, below).
//
// Where the environment variable BW_EVENTS_FILE names a file, each start appends
// "start=<its folder's name>" to it too. Started with "--brindlewick-event=<event>
// <version>", it records no start but appends "event=<event> <version>" there, then
// exits with the number in "event_exit.txt" beside it, else 0; with "event_hang.txt"
// beside it, it never ends by itself.
#include "brindlewick/update_client.h"
#include "state/paths.h"
#include "state/text.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
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
void append_record(const std::wstring& path, const std::string& record) {
    // A scanner may hold the record it just saw change for a while.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 1000 && file == INVALID_HANDLE_VALUE; ++tries) {
        file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
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

void record_launch(const std::wstring& folder) {
    wchar_t current[MAX_PATH * 2] = L"";
    GetCurrentDirectoryW(MAX_PATH * 2, current);
    append_record(folder + L"\\launches.txt",
                  "cmd=" + w_to_utf8(GetCommandLineW()) + "\ncwd=" + w_to_utf8(current) + "\n");
}

void record_event(const std::string& record) {
    wchar_t target[MAX_PATH * 2] = L"";
    const DWORD length = GetEnvironmentVariableW(L"BW_EVENTS_FILE", target, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) {
        append_record(target, record + "\n");
    }
}

int run_event(const std::wstring& folder, const wchar_t* event) {
    record_event("event=" + w_to_utf8(event));
    if (GetFileAttributesW((folder + L"\\event_hang.txt").c_str()) != INVALID_FILE_ATTRIBUTES) {
        Sleep(INFINITE);
    }
    unsigned long code = 0;
    read_number_file(folder + L"\\event_exit.txt", code);
    return static_cast<int>(code);
}

struct Client {
    std::wstring folder;
    bool restart = false;
    HANDLE restarted = nullptr; // set once the updater was asked to restart it
};

void on_check(const brindlewick::CheckResult& result, void* context) {
    Client& client = *static_cast<Client*>(context);
    append_record(client.folder + L"\\checks.txt",
                  "check=" + std::to_string(result.code) + " installed=" + result.installed +
                      " staged=" + result.staged + " latest=" + result.latest +
                      " error=" + result.error + "\n");
    if (client.restart && !result.staged.empty() && brindlewick::restart_to_update()) {
        SetEvent(client.restarted);
    }
}

// Reads client.txt: "periodic <ms>" and "restart". False when there is none.
bool read_client(const std::wstring& folder, unsigned long& interval, bool& restart) {
    FILE* file = _wfopen((folder + L"\\client.txt").c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char word[32] = "";
    bool periodic = false;
    while (fscanf(file, "%31s", word) == 1) {
        if (strcmp(word, "periodic") == 0) {
            periodic = fscanf(file, "%lu", &interval) == 1;
        } else if (strcmp(word, "restart") == 0) {
            restart = true;
        }
    }
    fclose(file);
    return periodic;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring path = own_path();
    const size_t slash = path.rfind(L'\\');
    const std::wstring folder = path.substr(0, slash);
    const std::wstring name = path.substr(slash + 1);
    const wchar_t* event = wcsstr(GetCommandLineW(), L"--brindlewick-event=");
    if (event != nullptr) {
        return run_event(folder, event + wcslen(L"--brindlewick-event="));
    }
    record_launch(folder);
    record_event("start=" + w_to_utf8(folder.substr(folder.rfind(L'\\') + 1)));
    const DWORD delay = setting(folder, name, L"delay_ms.txt", L"-sleep");
    Client client;
    client.folder = folder;
    unsigned long interval = 0;
    if (!read_client(folder, interval, client.restart)) {
        Sleep(delay);
        return static_cast<int>(setting(folder, name, L"exit_code.txt", L"-exit"));
    }
    client.restarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    brindlewick::PeriodicCheck periodic;
    periodic.start(on_check, &client, interval, 0);
    const bool restarting = WaitForSingleObject(client.restarted, delay) == WAIT_OBJECT_0;
    periodic.stop();
    CloseHandle(client.restarted);
    if (restarting) {
        record_event("end=" + w_to_utf8(folder.substr(folder.rfind(L'\\') + 1)));
    }
    return restarting ? 0 : static_cast<int>(setting(folder, name, L"exit_code.txt", L"-exit"));
}
