// Measures http_get_file against a bare WinHTTP loop doing the same work once the
// request is open (64 KiB reads written to a file), and the peak memory of http_get_text for a
// large body.
//   transfer_bench file URL DEST
//   transfer_bench text|bare-text SMALL_URL LARGE_URL
#include "update/transfer.h"

#include "bench_clock.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void close_all(HINTERNET session, HINTERNET connection, HINTERNET request) {
    for (HINTERNET handle : {request, connection, session}) {
        if (handle != nullptr) {
            WinHttpCloseHandle(handle);
        }
    }
}

// The least a download can do once the request is open: 64 KiB reads written out.
uint64_t bare_winhttp_download(const std::wstring& url, const std::wstring& path) {
    static unsigned char buffer[65536];
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    std::wstring error;
    uint64_t total = 0;
    if (open_request(url, session, connection, request, error)) {
        FILE* file = _wfopen(path.c_str(), L"wb");
        DWORD got = 0;
        while (file != nullptr && WinHttpReadData(request, buffer, sizeof buffer, &got) &&
               got > 0) {
            std::fwrite(buffer, 1, got, file);
            total += got;
        }
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    close_all(session, connection, request);
    return total;
}

int bench_file(const std::wstring& url, const std::wstring& path) {
    double ours = 1e9, bare = 1e9;
    uint64_t size = 0;
    for (int round = 0; round < 5; ++round) {
        const double start = seconds_now();
        std::wstring error;
        if (!http_get_file(url, path, 0, Progress(), error)) {
            std::fprintf(stderr, "http_get_file failed: %ls\n", error.c_str());
            return 1;
        }
        const double middle = seconds_now();
        size = bare_winhttp_download(url, path);
        const double end = seconds_now();
        ours = middle - start < ours ? middle - start : ours;
        bare = end - middle < bare ? end - middle : bare;
    }
    DeleteFileW(path.c_str());
    const double megabytes = static_cast<double>(size) / (1 << 20);
    std::printf("http_get_file   %8.1f MB/s (%.0f MB, best of 5)\n", megabytes / ours, megabytes);
    std::printf("bare WinHTTP    %8.1f MB/s\n", megabytes / bare);
    std::printf("ratio           %8.3f (target >= 0.95)\n", bare / ours);
    return 0;
}

// Reads the body through one 16 KiB buffer and keeps nothing: what WinHTTP itself needs.
size_t bare_winhttp_read(const std::wstring& url) {
    static char buffer[16384];
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    std::wstring error;
    size_t total = 0;
    if (open_request(url, session, connection, request, error)) {
        DWORD got = 0;
        while (WinHttpReadData(request, buffer, sizeof buffer, &got) && got > 0) {
            total += got;
        }
    }
    close_all(session, connection, request);
    return total;
}

// Peak growth of one fetch of `large_url`, after fetches of `small_url` have loaded and
// warmed up the HTTP and TLS machinery. Two, since each fetch runs on a thread of its
// own and Wine gives each of a process's first two threads about 1 MiB once.
int bench_text(const std::wstring& small_url, const std::wstring& large_url, bool bare) {
    std::string text;
    std::wstring error;
    for (int warm_up = 0; warm_up < 2; ++warm_up) {
        if (!http_get_text(small_url, text, error)) {
            std::fprintf(stderr, "http_get_text failed: %ls\n", error.c_str());
            return 1;
        }
    }
    text = std::string();
    const size_t baseline = peak_working_set();
    size_t size = 0;
    if (bare) {
        size = bare_winhttp_read(large_url);
    } else if (http_get_text(large_url, text, error)) {
        size = text.size();
    }
    const double growth =
        (static_cast<double>(peak_working_set()) - static_cast<double>(baseline)) / 1024;
    std::printf("%-15s %8.0f KiB peak growth for %zu bytes%s\n",
                bare ? "bare WinHTTP" : "http_get_text", growth, size,
                bare ? " (kept nothing)" : " (target <= 1040 KiB: the cap and one chunk)");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"file" && argc == 4) {
        return bench_file(argv[2], argv[3]);
    }
    if ((mode == L"text" || mode == L"bare-text") && argc == 4) {
        return bench_text(argv[2], argv[3], mode == L"bare-text");
    }
    std::fprintf(stderr, "usage: transfer_bench file URL DEST | text|bare-text SMALL LARGE\n");
    return 2;
}
