// Brindlewick's update client: what an installed application asks of its updater.
//
// One header for C++ applications on Windows (Vista and later), plain Win32 and the
// standard library, with nothing thrown. The updater is "updater.exe" in the folder above
// the application's own (the install root, which holds each version in a folder of its
// own). Nothing here shows anything: the application decides what to tell its user.
#pragma once

#include <windows.h>

#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#error "update_client.h needs _WIN32_WINNT 0x0600 (Windows Vista) or later"
#endif

#include <cstdlib>
#include <string>
#include <vector>

namespace brindlewick {

// What a check found, from the updater's exit code and the line it wrote.
struct CheckResult {
    // 0: nothing new; 10: a version is staged (now or before) and restart_to_update will
    // start it; 1: the check failed (the updater's log says why); 3: another check or an
    // installation was running; 4: an administrator turned updates off by policy; -1: the
    // updater could not be run (`error` says why).
    int code = -1;
    std::string installed; // the version installed
    std::string staged;    // the version waiting for a restart; empty when none
    std::string latest;    // the version the update server announces; empty when unknown
    std::string error;     // why the check failed; empty when it did not
};

namespace detail {

inline std::wstring own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind(L'\\'));
}

// Whether the program at `path` is an updater that takes the commands used here: one from
// before them would take a command for a start from the shortcut, and start a second
// copy of the application.
inline bool takes_commands(const std::wstring& path) {
    const HMODULE module = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return false;
    }
    const bool takes = FindResourceW(module, L"BRINDLEWICK_COMMANDS", RT_RCDATA) != nullptr;
    FreeLibrary(module);
    return takes;
}

// The installation's updater.exe; empty, with `error` set, when the application runs
// from elsewhere or the updater is too old for the commands.
inline std::wstring updater_path(std::string& error) {
    const std::wstring folder = own_folder();
    const size_t slash = folder.rfind(L'\\');
    const std::wstring updater =
        slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash) + L"\\updater.exe";
    const DWORD attributes =
        updater.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(updater.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "not installed: no updater.exe above the application's folder";
        return std::wstring();
    }
    if (!takes_commands(updater)) {
        error = "the installation's updater.exe is too old for these commands";
        return std::wstring();
    }
    return updater;
}

inline std::string error_text(const char* what, DWORD code) {
    return std::string(what) + " (error " + std::to_string(code) + ")";
}

// The string member `key` of the updater's one-line JSON object; empty when it is null or
// absent. The updater writes the object itself, so a reader of its own form suffices.
inline std::string json_member(const std::string& line, const char* key) {
    const std::string quoted_key = std::string("\"") + key + "\": \"";
    size_t at = line.find(quoted_key);
    if (at == std::string::npos) {
        return std::string();
    }
    std::string value;
    for (at += quoted_key.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\' || at + 1 >= line.size()) {
            value += line[at];
            continue;
        }
        const char escaped = line[++at];
        if (escaped == 'u' && at + 4 < line.size()) {
            const unsigned long code = strtoul(line.substr(at + 1, 4).c_str(), nullptr, 16);
            value += code < 0x80 ? static_cast<char>(code) : '?';
            at += 4;
        } else {
            value += escaped == 'n'   ? '\n'
                     : escaped == 't' ? '\t'
                     : escaped == 'r' ? '\r'
                                      : escaped;
        }
    }
    return value;
}

// Starts the updater with `arguments`; with `output`, its standard output is a pipe whose
// reading end is returned there, and no other handle of the application is inherited.
inline HANDLE start_updater(const std::wstring& arguments, HANDLE* output, std::string& error) {
    const std::wstring updater = updater_path(error);
    if (updater.empty()) {
        return nullptr;
    }
    std::wstring command_line = L"\"" + updater + L"\" " + arguments;
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    SIZE_T list_size = 0;
    std::vector<unsigned char> list_memory; // from operator new: aligned for the list
    if (output != nullptr) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
            error = error_text("no pipe for the updater", GetLastError());
            return nullptr;
        }
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
        list_memory.resize(list_size);
        startup.lpAttributeList =
            reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
        if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &list_size) ||
            !UpdateProcThreadAttribute(startup.lpAttributeList, 0,
                                       PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &write_end,
                                       sizeof write_end, nullptr, nullptr)) {
            error = error_text("no handle list for the updater", GetLastError());
            CloseHandle(read_end);
            CloseHandle(write_end);
            return nullptr;
        }
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = write_end;
    }
    // Out of the application's job where the job allows it: a job that ends its processes
    // with the application would end the updater it asked to restart it.
    PROCESS_INFORMATION process = {};
    const DWORD flags = output != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0;
    BOOL started = CreateProcessW(updater.c_str(), &command_line[0], nullptr, nullptr,
                                  output != nullptr, flags | CREATE_BREAKAWAY_FROM_JOB, nullptr,
                                  nullptr, &startup.StartupInfo, &process);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
        started =
            CreateProcessW(updater.c_str(), &command_line[0], nullptr, nullptr, output != nullptr,
                           flags, nullptr, nullptr, &startup.StartupInfo, &process);
    }
    const DWORD start_error = GetLastError();
    if (output != nullptr) {
        DeleteProcThreadAttributeList(startup.lpAttributeList);
        CloseHandle(write_end); // the updater's copy is the only writer left
    }
    if (!started) {
        error = error_text("the updater did not start", start_error);
        if (read_end != nullptr) {
            CloseHandle(read_end);
        }
        return nullptr;
    }
    CloseHandle(process.hThread);
    if (output != nullptr) {
        *output = read_end;
    }
    return process.hProcess;
}

// check_now, given up when `stop` (may be null) is set first: the updater then finishes
// on its own and its answer is not read.
inline CheckResult check(HANDLE stop) {
    CheckResult result;
    HANDLE output = nullptr;
    const HANDLE updater = start_updater(L"/check", &output, result.error);
    if (updater == nullptr) {
        return result;
    }
    const HANDLE events[2] = {updater, stop};
    const DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, INFINITE);
    DWORD code = 0;
    if (woke == WAIT_OBJECT_0 && GetExitCodeProcess(updater, &code)) {
        // The updater has ended: its line is in the pipe, which now reads to its end.
        std::string line;
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            line.append(buffer, got);
        }
        result.code = static_cast<int>(code);
        result.installed = json_member(line, "installed");
        result.staged = json_member(line, "staged");
        result.latest = json_member(line, "latest");
        result.error = json_member(line, "error");
    } else {
        result.error = "the check was stopped";
    }
    CloseHandle(output);
    CloseHandle(updater);
    return result;
}

} // namespace detail

// Whether the application runs from an installation whose updater takes the commands
// below: an updater.exe that knows them is in the folder above the application's own.
inline bool runs_installed() {
    std::string error;
    return !detail::updater_path(error).empty();
}

// Runs "updater.exe /check" and waits for it to end: the update check, with every rule
// of the updater's own, under its lock. A newer release is downloaded and staged, ready
// for restart_to_update. The updater bounds its transfers, so the wait ends; call it off
// the window's thread all the same.
inline CheckResult check_now() {
    return detail::check(nullptr);
}

// Starts "updater.exe /apply", which waits (at most a minute) for this process to end,
// then starts the application as its shortcut does: the staged version after its trial
// run, or the installed version when nothing is staged or the trial fails. The
// application exits right after a true result; false, with `error` set when given, when
// the updater could not be started, and the application goes on.
inline bool restart_to_update(std::string* error = nullptr) {
    std::string why;
    const HANDLE updater = detail::start_updater(
        L"/apply /wait " + std::to_wstring(GetCurrentProcessId()), nullptr, why);
    if (updater == nullptr) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    CloseHandle(updater);
    return true;
}

// Checks now and then, on a thread of its own, while the application runs: first after
// a random delay, so that the checks of many installations spread out, then once per
// interval. Each result goes to the callback, on that thread.
class PeriodicCheck {
  public:
    using Callback = void (*)(const CheckResult& result, void* context);

    static constexpr DWORD kDefaultIntervalMs = 6 * 60 * 60 * 1000;
    static constexpr DWORD kDefaultFirstDelayMaxMs = 60 * 60 * 1000;

    PeriodicCheck() = default;
    PeriodicCheck(const PeriodicCheck&) = delete;
    PeriodicCheck& operator=(const PeriodicCheck&) = delete;
    ~PeriodicCheck() { stop(); }

    // Starts checking: the first time after a random delay of up to `first_delay_max_ms`,
    // then every `interval_ms` (counted from the end of one check to the start of the
    // next). False when it runs already or no thread could be made.
    bool start(Callback callback, void* context, DWORD interval_ms = kDefaultIntervalMs,
               DWORD first_delay_max_ms = kDefaultFirstDelayMaxMs) {
        if (thread_ != nullptr) {
            return false;
        }
        callback_ = callback;
        context_ = context;
        interval_ms_ = interval_ms;
        first_delay_ms_ = random_below(first_delay_max_ms);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (stop_ == nullptr) {
            return false;
        }
        thread_ = CreateThread(nullptr, 0, &PeriodicCheck::run, this, 0, nullptr);
        if (thread_ == nullptr) {
            CloseHandle(stop_);
            stop_ = nullptr;
            return false;
        }
        return true;
    }

    // Stops checking and waits for the thread to end; a check under way is not waited
    // for (the updater finishes it on its own). Does nothing when not started. Called
    // from the callback, it only asks the thread to end, since the thread cannot wait for
    // itself: a call from another thread, or the destructor, then finishes the stop.
    void stop() {
        if (thread_ == nullptr) {
            return;
        }
        SetEvent(stop_);
        if (GetCurrentThreadId() == GetThreadId(thread_)) {
            return;
        }
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
        thread_ = nullptr;
        stop_ = nullptr;
    }

  private:
    // Not for secrets: enough to spread the first checks of many machines over the delay.
    static DWORD random_below(DWORD bound) {
        if (bound == 0) {
            return 0;
        }
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        unsigned long long x = static_cast<unsigned long long>(counter.QuadPart) ^
                               (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                               GetTickCount64();
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 33;
        return static_cast<DWORD>(x % (static_cast<unsigned long long>(bound) + 1));
    }

    static DWORD WINAPI run(void* self) {
        PeriodicCheck& periodic = *static_cast<PeriodicCheck*>(self);
        DWORD wait = periodic.first_delay_ms_;
        while (WaitForSingleObject(periodic.stop_, wait) == WAIT_TIMEOUT) {
            const CheckResult result = detail::check(periodic.stop_);
            if (WaitForSingleObject(periodic.stop_, 0) == WAIT_OBJECT_0) {
                break;
            }
            if (periodic.callback_ != nullptr) {
                periodic.callback_(result, periodic.context_);
            }
            wait = periodic.interval_ms_;
        }
        return 0;
    }

    HANDLE thread_ = nullptr;
    HANDLE stop_ = nullptr;
    Callback callback_ = nullptr;
    void* context_ = nullptr;
    DWORD interval_ms_ = kDefaultIntervalMs;
    DWORD first_delay_ms_ = 0;
};

} // namespace brindlewick
