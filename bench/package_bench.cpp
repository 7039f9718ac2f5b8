// Measures sha256_file against a bare CNG loop over the same 64 KiB buffer size,
// zip_extract's time and peak working set, and the time the signature check of an
// unpacked release takes.
//   package_bench hash FILE
//   package_bench extract PACKAGE DEST
//   package_bench signatures DIR PIN
#include "package/sha256_file.h"
#include "package/tree_signatures.h"
#include "package/zip_extract.h"
#include "state/file_tree.h"
#include "state/text.h"

#include "bench_clock.h"

#include <windows.h>

#include <bcrypt.h>
#include <cstdio>
#include <string>

namespace {

// The least a hashing loop can do: the same calls, no formatting, no checks.
bool bare_cng_hash(const std::wstring& path) {
    static unsigned char buffer[64 * 1024];
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        BCryptHashData(hash, buffer, static_cast<ULONG>(got), 0);
    }
    unsigned char digest[32];
    BCryptFinishHash(hash, digest, sizeof digest, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::fclose(file);
    return true;
}

double file_megabytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    const uint64_t size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return static_cast<double>(size) / (1 << 20);
}

int bench_hash(const std::wstring& path) {
    const double megabytes = file_megabytes(path);
    double ours = 1e9, bare = 1e9;
    std::string hex;
    // Alternating rounds, best of each, so that both see the same cache state.
    for (int round = 0; round < 5; ++round) {
        const double start = seconds_now();
        if (!sha256_file(path, hex)) {
            std::fprintf(stderr, "sha256_file failed\n");
            return 1;
        }
        const double middle = seconds_now();
        bare_cng_hash(path);
        const double end = seconds_now();
        ours = middle - start < ours ? middle - start : ours;
        bare = end - middle < bare ? end - middle : bare;
    }
    std::printf("sha256_file     %8.1f MB/s\n", megabytes / ours);
    std::printf("bare CNG loop   %8.1f MB/s\n", megabytes / bare);
    std::printf("ratio           %8.3f (target >= 0.95)\n", bare / ours);
    return 0;
}

int bench_extract(const std::wstring& package, const std::wstring& dest) {
    const size_t before = peak_working_set();
    const double start = seconds_now();
    std::wstring error;
    if (!zip_extract(package, dest, error)) {
        std::fwprintf(stderr, L"zip_extract failed: %ls\n", error.c_str());
        return 1;
    }
    const double elapsed = seconds_now() - start;
    const double megabytes = static_cast<double>(dir_size(dest)) / (1 << 20);
    std::printf("zip_extract     %8.3f s, %.1f MB/s of output\n", elapsed, megabytes / elapsed);
    std::printf("seconds=%.3f\n", elapsed);
    std::printf("peak working set %7.1f MiB before, %.1f MiB after\n",
                static_cast<double>(before) / (1 << 20),
                static_cast<double>(peak_working_set()) / (1 << 20));
    return 0;
}

int bench_signatures(const std::wstring& dir, const std::wstring& pin) {
    const std::string pin_text = w_to_utf8(pin);
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        std::wstring error;
        const double start = seconds_now();
        if (!verify_tree_signatures_with_pin(dir, pin_text.c_str(), error)) {
            std::fwprintf(stderr, L"verify_tree_signatures refused: %ls\n", error.c_str());
            return 1;
        }
        const double elapsed = seconds_now() - start;
        best = elapsed < best ? elapsed : best;
    }
    std::printf("signature check %8.3f s (best of 3)\n", best);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"hash" && argc == 3) {
        return bench_hash(argv[2]);
    }
    if (mode == L"extract" && argc == 4) {
        return bench_extract(argv[2], argv[3]);
    }
    if (mode == L"signatures" && argc == 4) {
        return bench_signatures(argv[2], argv[3]);
    }
    std::fprintf(stderr,
                 "usage: package_bench hash FILE | extract PACKAGE DEST | signatures DIR PIN\n");
    return 2;
}
