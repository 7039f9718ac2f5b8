// Times program starts to the started application's first instruction, as read by the
// stand-in application stamp_app, which notes the clock in stamp.txt beside itself.
//   launch_bench startup STUB APP_EXE EMPTY_EXE FLOOR_EXE RUNS
//       The stub's cost on every start of the application (nothing staged): the stub
//       started, to the application's first instruction, less the same for the
//       application started directly; against the same for the floor program, which
//       makes only the platform calls the stub needs (given APP_EXE relative to the local
//       application data folder); next to the start of an empty program.
//   launch_bench commands STUB APP_EXE EMPTY_EXE RUNS
//       What the application's commands to its stub cost (nothing staged, the update
//       server reachable, nothing new): "/apply", from the end of the process it waits
//       for to the application's first instruction, against a start from the shortcut;
//       "/check", start to end, against a start from the shortcut, whose background
//       check runs once the application is started.
//   launch_bench install SETUP APP_DIR PACKAGE_URL RUNS
//       A first installation, from starting the setup program to the application's
//       first instruction (the install root removed before each run), and the same
//       package's download, hash and extraction on their own.
#include "package/sha256_file.h"
#include "package/zip_extract.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "state/spawn.h"
#include "update/transfer.h"

#include "bench_clock.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double counter_seconds(long long counter) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter) / static_cast<double>(frequency.QuadPart);
}

// Waits up to 60 s for stamp.txt in `folder` and returns its reading in seconds; -1
// when none came.
double read_stamp(const std::wstring& folder) {
    const std::wstring path = folder + L"\\stamp.txt";
    for (int tries = 0; tries < 60000; ++tries) {
        FILE* file = _wfopen(path.c_str(), L"rb");
        long long counter = 0;
        const bool read = file != nullptr && std::fscanf(file, "%lld", &counter) == 1;
        if (file != nullptr) {
            std::fclose(file);
        }
        if (read) {
            DeleteFileW(path.c_str());
            return counter_seconds(counter);
        }
        Sleep(1);
    }
    return -1;
}

void wait_and_close(HANDLE process) {
    if (process != nullptr) {
        WaitForSingleObject(process, 60000);
        CloseHandle(process);
    }
}

// Seconds from starting `exe` to the first instruction of the application in `folder`.
double to_application(const std::wstring& exe, const std::wstring& folder,
                      const std::wstring& arguments = L"") {
    DeleteFileW((folder + L"\\stamp.txt").c_str());
    const double start = seconds_now();
    const HANDLE process = spawn(exe, arguments);
    const double stamp = read_stamp(folder);
    wait_and_close(process);
    return stamp < 0 ? -1 : stamp - start;
}

double start_and_end(const std::wstring& exe) {
    const double start = seconds_now();
    wait_and_close(spawn(exe, L""));
    return seconds_now() - start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring folder_of(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

int bench_startup(const std::wstring& stub, const std::wstring& app, const std::wstring& empty,
                  const std::wstring& floor, int runs) {
    // The floor is told where the application lies below the local application data
    // folder, which holds the install root.
    const std::wstring root = root_dir();
    const std::wstring relative = app.substr(root.size() - std::wstring(L"Brindlewick").size());
    std::vector<double> via_stub, via_floor, direct, empty_start;
    for (int run = 0; run < runs; ++run) {
        // Interleaved, so that all four see the same machine state.
        via_stub.push_back(to_application(stub, folder_of(app)));
        via_floor.push_back(to_application(floor, folder_of(app), relative));
        direct.push_back(to_application(app, folder_of(app)));
        empty_start.push_back(start_and_end(empty));
    }
    // A start whose application was not seen within a minute is told and left out of the
    // medians; one by the stub would also have shown its error box.
    const auto seen = [](std::vector<double>& times) {
        const size_t before = times.size();
        times.erase(std::remove_if(times.begin(), times.end(), [](double t) { return t < 0; }),
                    times.end());
        return static_cast<int>(before - times.size());
    };
    const int unseen[3] = {seen(via_stub), seen(via_floor), seen(direct)};
    if (unseen[0] + unseen[1] + unseen[2] > 0) {
        std::printf("application not seen to start: %d times by the stub, %d by the floor, %d "
                    "directly (left out)\n",
                    unseen[0], unseen[1], unseen[2]);
    }
    if (via_stub.empty() || via_floor.empty() || direct.empty()) {
        std::fprintf(stderr, "the application did not start\n");
        return 1;
    }
    const double cost = median(via_stub) - median(direct);
    const double floor_cost = median(via_floor) - median(direct);
    std::printf("application started directly  %7.1f ms to its first instruction\n",
                median(direct) * 1000);
    std::printf("application started by stub   %7.1f ms\n", median(via_stub) * 1000);
    std::printf("application started by floor  %7.1f ms\n", median(via_floor) * 1000);
    std::printf("stub's cost                    %7.1f ms\n", cost * 1000);
    std::printf("floor's cost                   %7.1f ms (known folder, process creation)\n",
                floor_cost * 1000);
    std::printf("empty program, start to end    %7.1f ms\n", median(empty_start) * 1000);
    std::printf("stub / floor                   %7.2f (goal <= 1.10), medians of %d runs\n",
                cost / floor_cost, runs);
    return 0;
}

// Seconds from the end of a waiting process (an empty program held before its first
// instruction) to the first instruction of the application that "STUB /apply /wait PID"
// starts once it has ended; -1 when the application was not seen.
double apply_to_application(const std::wstring& stub, const std::wstring& empty,
                            const std::wstring& folder) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION caller = {};
    std::wstring command_line = L"\"" + empty + L"\"";
    if (!CreateProcessW(empty.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &caller)) {
        return -1;
    }
    CloseHandle(caller.hThread);
    DeleteFileW((folder + L"\\stamp.txt").c_str());
    const HANDLE stub_process = spawn(stub, L"/apply /wait " + std::to_wstring(caller.dwProcessId));
    // Long enough for the stub to be waiting for it.
    Sleep(500);
    const double start = seconds_now();
    TerminateProcess(caller.hProcess, 0);
    CloseHandle(caller.hProcess);
    const double stamp = read_stamp(folder);
    wait_and_close(stub_process);
    return stamp < 0 ? -1 : stamp - start;
}

double start_and_end_with(const std::wstring& exe, const std::wstring& arguments) {
    const double start = seconds_now();
    wait_and_close(spawn(exe, arguments));
    return seconds_now() - start;
}

int bench_commands(const std::wstring& stub, const std::wstring& app, const std::wstring& empty,
                   int runs) {
    std::vector<double> shortcut_to_app, apply_to_app, shortcut_to_end, check_to_end;
    for (int run = 0; run < runs; ++run) {
        shortcut_to_app.push_back(to_application(stub, folder_of(app)));
        apply_to_app.push_back(apply_to_application(stub, empty, folder_of(app)));
        shortcut_to_end.push_back(start_and_end_with(stub, L""));
        DeleteFileW((folder_of(app) + L"\\stamp.txt").c_str());
        check_to_end.push_back(start_and_end_with(stub, L"/check"));
    }
    if (*std::min_element(shortcut_to_app.begin(), shortcut_to_app.end()) < 0 ||
        *std::min_element(apply_to_app.begin(), apply_to_app.end()) < 0) {
        std::fprintf(stderr, "the application was not seen to start\n");
        return 1;
    }
    std::printf("shortcut start to application's first instruction   %7.1f ms\n",
                median(shortcut_to_app) * 1000);
    std::printf("/apply, caller's end to application's first instr.   %7.1f ms\n",
                median(apply_to_app) * 1000);
    std::printf("shortcut start, start to end (with its check)        %7.1f ms\n",
                median(shortcut_to_end) * 1000);
    std::printf("/check, start to end                                 %7.1f ms\n",
                median(check_to_end) * 1000);
    std::printf("medians of %d runs\n", runs);
    return 0;
}

// Times one step, median of `runs`; negative when it failed.
template <typename Step>
double timed(int runs, Step step) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double start = seconds_now();
        if (!step()) {
            return -1;
        }
        times.push_back(seconds_now() - start);
    }
    return median(times);
}

int bench_install(const std::wstring& setup, const std::wstring& app_dir, const std::wstring& url,
                  int runs) {
    // Each run starts from no installation: never on a real one, only in a Wine prefix.
    if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name") == nullptr) {
        std::fprintf(stderr, "refusing to remove the install root outside Wine\n");
        return 1;
    }
    const double total = timed(runs, [&] {
        rm_tree(root_dir());
        CreateDirectoryW(root_dir().c_str(), nullptr);
        return to_application(setup, app_dir) >= 0;
    });
    const std::wstring package = root_dir() + L"\\bench-package.zip";
    const std::wstring tree = root_dir() + L"\\bench-tree";
    std::wstring error;
    std::string digest;
    const double download =
        timed(runs, [&] { return http_get_file(url, package, 0, Progress(), error); });
    const double hash = timed(runs, [&] { return sha256_file(package, digest); });
    const double extract = timed(runs, [&] {
        rm_tree(tree);
        return zip_extract(package, tree, error);
    });
    rm_tree(tree);
    DeleteFileW(package.c_str());
    if (std::min(std::min(total, download), std::min(hash, extract)) < 0) {
        std::fprintf(stderr, "a step failed: %ls\n", error.c_str());
        return 1;
    }
    std::printf("setup started to application's first instruction %6.2f s\n", total);
    std::printf("  download (http_get_file)                        %6.2f s\n", download);
    std::printf("  hash (sha256_file)                              %6.2f s\n", hash);
    std::printf("  extraction (zip_extract)                        %6.2f s\n", extract);
    std::printf("  the rest                                        %6.2f s\n",
                total - download - hash - extract);
    std::printf("medians of %d runs\n", runs);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"startup" && argc == 7) {
        return bench_startup(argv[2], argv[3], argv[4], argv[5], _wtoi(argv[6]));
    }
    if (mode == L"commands" && argc == 6) {
        return bench_commands(argv[2], argv[3], argv[4], _wtoi(argv[5]));
    }
    if (mode == L"install" && argc == 6) {
        return bench_install(argv[2], argv[3], argv[4], _wtoi(argv[5]));
    }
    std::fprintf(stderr, "usage: launch_bench startup STUB APP EMPTY FLOOR RUNS | commands STUB "
                         "APP EMPTY RUNS | install SETUP APP_DIR PACKAGE_URL RUNS\n");
    return 2;
}
