// Measures sha256_file against a bare CNG loop over the same 64 KiB buffer size;
// zip_extract's time and peak working set; and, to tell where extraction's time goes,
// reading and inflating every entry into nothing, checking every entry's records before
// extraction, and the bare loop that makes the same folders and files and writes the
// same byte counts from memory; and the time the signature check adds to staging.
//   package_bench hash FILE
//   package_bench extract PACKAGE DEST
//   package_bench inflate PACKAGE
//   package_bench check PACKAGE
//   package_bench bare|bare-empty PACKAGE DEST
//   package_bench signatures PACKAGE DEST PIN
#include "package/sha256_file.h"
#include "package/tree_signatures.h"
#include "package/zip_extract.h"
#include "package/zip_reader.h"
#include "state/file_tree.h"
#include "state/text.h"

#include "bench_clock.h"

#include <windows.h>

#include <algorithm>
#include <bcrypt.h>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

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
    std::printf("growth=%.1f\n",
                (static_cast<double>(peak_working_set()) - static_cast<double>(before)) /
                    (1 << 20));
    return 0;
}

// Every entry's name and size, read before any clock starts.
struct Entry {
    std::wstring rel;
    uint64_t size;
    bool folder;
};

// A package open for reading for as long as this lives.
struct Archive {
    explicit Archive(const std::wstring& path) : file(_wfopen(path.c_str(), L"rb")) {
        std::memset(&zip, 0, sizeof zip);
        ok = file != nullptr && mz_zip_reader_init_cfile(&zip, file, 0, 0);
    }
    ~Archive() {
        mz_zip_reader_end(&zip);
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    FILE* file;
    mz_zip_archive zip;
    bool ok;
};

bool list_entries(const std::wstring& package, std::vector<Entry>& entries) {
    Archive archive(package);
    if (!archive.ok) {
        return false;
    }
    mz_zip_archive& zip = archive.zip;
    for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&zip); ++i) {
        mz_zip_archive_file_stat stat;
        mz_zip_reader_file_stat(&zip, i, &stat);
        std::wstring rel(stat.m_filename, stat.m_filename + std::strlen(stat.m_filename));
        for (wchar_t& c : rel) {
            c = c == L'/' ? L'\\' : c;
        }
        entries.push_back({rel, stat.m_uncomp_size, stat.m_is_directory != 0});
    }
    return true;
}

size_t discard(void*, mz_uint64, const void*, size_t size) {
    return size;
}

// Reading and inflating alone, on one thread.
int bench_inflate(const std::wstring& package) {
    Archive archive(package);
    if (!archive.ok) {
        return 1;
    }
    mz_zip_archive& zip = archive.zip;
    const double start = seconds_now();
    for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&zip); ++i) {
        if (!mz_zip_reader_extract_to_callback(&zip, i, discard, nullptr, 0)) {
            return 1;
        }
    }
    std::printf("seconds=%.3f\n", seconds_now() - start);
    return 0;
}

// What extraction checks of every entry before it makes anything: its records and
// where its data lies, read without inflating, on one thread.
int bench_check(const std::wstring& package) {
    Archive archive(package);
    if (!archive.ok) {
        return 1;
    }
    mz_zip_archive& zip = archive.zip;
    const double start = seconds_now();
    for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&zip); ++i) {
        if (!mz_zip_validate_file(&zip, i, MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY)) {
            return 1;
        }
    }
    std::printf("seconds=%.3f\n", seconds_now() - start);
    return 0;
}

// The floor of any extractor here: each folder made once, each file created, written
// from memory in 256 KiB pieces (or left empty) and closed.
int bench_bare(const std::wstring& package, const std::wstring& dest, bool write_bytes) {
    std::vector<Entry> entries;
    if (!list_entries(package, entries)) {
        return 1;
    }
    std::set<std::wstring> folders;
    for (const Entry& entry : entries) {
        const std::wstring folder =
            entry.folder ? entry.rel : entry.rel.substr(0, entry.rel.rfind(L'\\') + 1);
        for (size_t at = folder.find(L'\\'); at != std::wstring::npos;
             at = folder.find(L'\\', at + 1)) {
            folders.insert(folder.substr(0, at));
        }
    }
    static char zeros[256 * 1024];
    const double start = seconds_now();
    CreateDirectoryW(dest.c_str(), nullptr);
    for (const std::wstring& folder : folders) {
        CreateDirectoryW((dest + L"\\" + folder).c_str(), nullptr);
    }
    for (const Entry& entry : entries) {
        if (entry.folder) {
            continue;
        }
        const HANDLE file = CreateFileW((dest + L"\\" + entry.rel).c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 1;
        }
        for (uint64_t left = write_bytes ? entry.size : 0; left > 0;) {
            const DWORD piece = left < sizeof zeros ? static_cast<DWORD>(left) : sizeof zeros;
            DWORD wrote = 0;
            WriteFile(file, zeros, piece, &wrote, nullptr);
            left -= piece;
        }
        CloseHandle(file);
    }
    std::printf("seconds=%.3f\n", seconds_now() - start);
    return 0;
}

// What checking signatures adds to staging: extracting without and with noting the
// program images, in turns, then the check of the images so listed and, beside it, the
// check that reads every file's first bytes to find them.
int bench_signatures(const std::wstring& package, const std::wstring& dest,
                     const std::wstring& pin) {
    const std::string pin_text = w_to_utf8(pin);
    double plain = 1e9, noting = 1e9, listed = 1e9, reading = 1e9;
    std::vector<std::wstring> images;
    std::wstring error;
    // In turns, each going first as often as the other: a run pays for the writes the
    // one before it left to the disk.
    for (int run = 0; run < 4; ++run) {
        const bool listing = (run % 2 == 0) == (run < 2);
        rm_tree(dest);
        const double start = seconds_now();
        const bool extracted = listing ? zip_extract_listing_images(package, dest, images, error)
                                       : zip_extract(package, dest, error);
        if (!extracted) {
            std::fwprintf(stderr, L"extraction failed: %ls\n", error.c_str());
            return 1;
        }
        double& best = listing ? noting : plain;
        best = std::min(best, seconds_now() - start);
    }
    // The last run listed the images of the tree left in place.
    for (int round = 0; round < 3; ++round) {
        double start = seconds_now();
        if (!verify_listed_signatures_with_pin(dest, images, pin_text.c_str(), error)) {
            std::fwprintf(stderr, L"the signature check refused: %ls\n", error.c_str());
            return 1;
        }
        listed = std::min(listed, seconds_now() - start);
        start = seconds_now();
        if (!verify_tree_signatures_with_pin(dest, pin_text.c_str(), error)) {
            std::fwprintf(stderr, L"the signature check refused: %ls\n", error.c_str());
            return 1;
        }
        reading = std::min(reading, seconds_now() - start);
    }
    std::printf("zip_extract        %8.3f s; noting program images %.3f s (best of 2)\n", plain,
                noting);
    std::printf("signature check    %8.3f s, %zu images as extraction listed them (best of 3)\n",
                listed, images.size());
    std::printf("                   %8.3f s, every file's first bytes read again to find them\n",
                reading);
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
    if (mode == L"inflate" && argc == 3) {
        return bench_inflate(argv[2]);
    }
    if (mode == L"check" && argc == 3) {
        return bench_check(argv[2]);
    }
    if ((mode == L"bare" || mode == L"bare-empty") && argc == 4) {
        return bench_bare(argv[2], argv[3], mode == L"bare");
    }
    if (mode == L"signatures" && argc == 5) {
        return bench_signatures(argv[2], argv[3], argv[4]);
    }
    std::fprintf(stderr, "usage: package_bench hash FILE | extract PACKAGE DEST | inflate "
                         "PACKAGE | check PACKAGE | bare|bare-empty PACKAGE DEST | signatures "
                         "PACKAGE DEST PIN\n");
    return 2;
}
