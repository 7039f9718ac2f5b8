// Measures staging a release from a delta package against staging it from the full
// package, both through fetch_and_stage over the same loopback HTTPS server, and against
// the bare copy of the files the delta takes from the installed version; where each
// road's time goes; and the delta road's peak working set.
//   delta_bench setup OLD_PACKAGE
//   delta_bench time ROUNDS UNCHANGED_LIST FULL_URL FULL_SHA FULL_SIZE DELTA_URL
//                    DELTA_SHA DELTA_SIZE MISSING_URL
//   delta_bench memory WARM_URL FULL_SHA FULL_SIZE DELTA_URL DELTA_SHA DELTA_SIZE
//                      MISSING_URL MAPPED_BYTES
// `setup` installs the old release's tree as version 1.0.0 under the install root; the
// others stage 1.1.0 from it. The delta road is given MISSING_URL (a 404) as its full
// package, so that a fall back to the full package fails the bench instead of passing
// for a delta staging.
#include "package/delta_build.h"
#include "package/fetch_and_stage.h"
#include "package/sha256_file.h"
#include "package/zip_extract.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "state/text.h"
#include "update/manifest.h"
#include "update/transfer.h"

#include "bench_clock.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kOld[] = "1.0.0";
const char kNew[] = "1.1.0";

Manifest full_manifest(const std::string& url, const std::string& sha, const std::string& size) {
    Manifest manifest;
    manifest.version = kNew;
    manifest.url = url;
    manifest.sha256 = sha;
    manifest.size = std::strtoull(size.c_str(), nullptr, 10);
    return manifest;
}

Manifest delta_manifest(const std::string& missing_url, const std::string& full_sha,
                        const std::string& full_size, const std::string& url,
                        const std::string& sha, const std::string& size) {
    Manifest manifest = full_manifest(missing_url, full_sha, full_size);
    DeltaOffer offer;
    offer.from = kOld;
    offer.url = url;
    offer.sha256 = sha;
    offer.size = std::strtoull(size.c_str(), nullptr, 10);
    manifest.deltas.push_back(offer);
    return manifest;
}

bool stage(const Manifest& manifest, const char* road) {
    std::wstring error;
    if (!fetch_and_stage(manifest, kOld, false, error)) {
        std::fprintf(stderr, "staging from the %s failed: %ls\n", road, error.c_str());
        return false;
    }
    return true;
}

int setup(const std::wstring& package) {
    std::wstring error;
    rm_tree(app_dir(kOld));
    rm_tree(app_dir(kNew));
    if (!zip_extract(package, app_dir(kOld), error)) {
        std::fprintf(stderr, "cannot install the old release: %ls\n", error.c_str());
        return 1;
    }
    return 0;
}

// The least that taking the unchanged files from the installed version can cost: each
// folder made and each file copied by CopyFileW, nothing checked, and nothing flushed
// unless `flush` (which staging must: a file reaches the disk before the record naming it).
double bare_copy(const std::vector<std::wstring>& files, const std::wstring& dest, bool flush) {
    rm_tree(dest);
    const double start = seconds_now();
    CreateDirectoryW(dest.c_str(), nullptr);
    for (const std::wstring& file : files) {
        for (size_t slash = file.find(L'\\'); slash != std::wstring::npos;
             slash = file.find(L'\\', slash + 1)) {
            CreateDirectoryW((dest + L"\\" + file.substr(0, slash)).c_str(), nullptr);
        }
        const std::wstring to = dest + L"\\" + file;
        if (!CopyFileW((app_dir(kOld) + L"\\" + file).c_str(), to.c_str(), TRUE) ||
            (flush && !flush_file(to))) {
            return -1;
        }
    }
    const double elapsed = seconds_now() - start;
    rm_tree(dest);
    return elapsed;
}

double least(double a, double b) {
    return b < a ? b : a;
}

// Each road's steps one at a time, as fetch_and_stage takes them.
struct Phases {
    double download = 1e9, digest = 1e9, build = 1e9, base_digest = 1e9;
    double full_download = 1e9, full_digest = 1e9, extract = 1e9;
};

bool time_full_phases(const Manifest& manifest, Phases& best) {
    const std::wstring package = root_dir() + L"\\bench-full.zip";
    const std::wstring tree = root_dir() + L"\\bench-tree";
    std::wstring error;
    std::string digest;
    std::vector<std::wstring> images;
    rm_tree(tree);
    const double start = seconds_now();
    bool ok = http_get_file(utf8_to_w(manifest.url), package, manifest.size, Progress(), error);
    const double downloaded = seconds_now();
    ok = ok && sha256_file(package, digest);
    const double hashed = seconds_now();
    ok = ok && zip_extract_listing_images(package, tree, images, error);
    const double extracted = seconds_now();
    DeleteFileW(package.c_str());
    rm_tree(tree);
    if (!ok) {
        std::fprintf(stderr, "full package phases failed: %ls\n", error.c_str());
        return false;
    }
    best.full_download = least(best.full_download, downloaded - start);
    best.full_digest = least(best.full_digest, hashed - downloaded);
    best.extract = least(best.extract, extracted - hashed);
    return true;
}

bool time_phases(const Manifest& manifest, Phases& best) {
    const DeltaOffer& offer = manifest.deltas.front();
    const std::wstring delta = root_dir() + L"\\bench-delta.zip";
    const std::wstring tree = root_dir() + L"\\bench-tree";
    std::wstring error;
    std::string digest;
    std::vector<std::wstring> images;
    rm_tree(tree);
    const double start = seconds_now();
    bool ok = http_get_file(utf8_to_w(offer.url), delta, offer.size, Progress(), error);
    const double downloaded = seconds_now();
    ok = ok && sha256_file(delta, digest);
    const double hashed = seconds_now();
    ok = ok && delta_build_tree(delta, manifest.sha256, app_dir(kOld), tree, images, error);
    const double built = seconds_now();
    ok = ok && sha256_file(app_exe(kOld), digest);
    const double exe_hashed = seconds_now();
    DeleteFileW(delta.c_str());
    rm_tree(tree);
    if (!ok) {
        std::fprintf(stderr, "delta phases failed: %ls\n", error.c_str());
        return false;
    }
    best.download = least(best.download, downloaded - start);
    best.digest = least(best.digest, hashed - downloaded);
    best.build = least(best.build, built - hashed);
    best.base_digest = least(best.base_digest, exe_hashed - built);
    return true;
}

int time_stagings(int rounds, const std::wstring& list, const Manifest& full,
                  const Manifest& delta) {
    std::vector<std::wstring> unchanged;
    FILE* in = _wfopen(list.c_str(), L"rb");
    char line[4096];
    while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) {
        std::string path(line);
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) {
            path.pop_back();
        }
        if (!path.empty()) {
            unchanged.push_back(utf8_to_w(path));
        }
    }
    if (in != nullptr) {
        std::fclose(in);
    }
    const std::wstring copy_dest = root_dir() + L"\\bench-copy";
    double from_delta = 1e9, from_full = 1e9, copy = 1e9, flushed_copy = 1e9;
    Phases phases;
    // In turns, best of each, so that all see the same state of the caches.
    for (int round = 0; round < rounds; ++round) {
        rm_tree(app_dir(kNew));
        double start = seconds_now();
        if (!stage(delta, "delta")) {
            return 1;
        }
        from_delta = least(from_delta, seconds_now() - start);
        rm_tree(app_dir(kNew));
        start = seconds_now();
        if (!stage(full, "full package")) {
            return 1;
        }
        from_full = least(from_full, seconds_now() - start);
        rm_tree(app_dir(kNew));
        const double copied = bare_copy(unchanged, copy_dest, false);
        const double flushed = bare_copy(unchanged, copy_dest, true);
        if (copied < 0 || flushed < 0) {
            std::fprintf(stderr, "bare copy failed\n");
            return 1;
        }
        copy = least(copy, copied);
        flushed_copy = least(flushed_copy, flushed);
        if (!time_phases(delta, phases) || !time_full_phases(full, phases)) {
            return 1;
        }
    }
    std::printf("staging from the delta          %7.3f s (best of %d)\n", from_delta, rounds);
    std::printf("staging from the full package   %7.3f s\n", from_full);
    std::printf("bare copy of %zu unchanged files %7.3f s (CopyFileW)\n", unchanged.size(), copy);
    std::printf("delta / full package            %7.2f (target <= 1.00)\n", from_delta / from_full);
    std::printf("delta / bare copy               %7.2f (target <= 1.50)\n", from_delta / copy);
    std::printf("bare copy, each file flushed    %7.3f s (for reference)\n", flushed_copy);
    // Each step's best, from runs of their own.
    std::printf("where the delta's time goes     download %.3f s, its SHA-256 %.3f s,\n",
                phases.download, phases.digest);
    std::printf("                                delta_build_tree %.3f s\n", phases.build);
    std::printf("                                (one SHA-256 of the old brindlewick.exe: "
                "%.3f s)\n",
                phases.base_digest);
    std::printf("where the full package's goes   download %.3f s, its SHA-256 %.3f s,\n",
                phases.full_download, phases.full_digest);
    std::printf("                                zip_extract %.3f s (two threads)\n",
                phases.extract);
    return 0;
}

int measure_memory(const std::wstring& warm_url, const Manifest& delta, uint64_t mapped) {
    // The HTTP and TLS machinery loaded and warmed up first, on two threads as staging
    // uses (Wine gives each of a process's first threads about 1 MiB once).
    std::string text;
    std::wstring error;
    for (int warm_up = 0; warm_up < 2; ++warm_up) {
        if (!http_get_text(warm_url, text, error)) {
            std::fprintf(stderr, "warm-up failed: %ls\n", error.c_str());
            return 1;
        }
    }
    rm_tree(app_dir(kNew));
    const size_t baseline = peak_working_set();
    if (!stage(delta, "delta")) {
        return 1;
    }
    const double mib = 1 << 20;
    const double growth =
        (static_cast<double>(peak_working_set()) - static_cast<double>(baseline)) / mib;
    const double allowed = 16 + static_cast<double>(mapped) / mib;
    std::printf("peak working set                %7.1f MiB at the baseline, %.1f MiB above it\n",
                static_cast<double>(baseline) / mib, growth);
    std::printf("allowed above the baseline      %7.1f MiB (16 MiB + the largest patched file's "
                "old and new, %.1f MiB)\n",
                allowed, static_cast<double>(mapped) / mib);
    std::printf("peak growth / allowed           %7.2f (target <= 1.00)\n", growth / allowed);
    // What the heap and everything else took besides the two mappings: Wine reports no
    // private or heap figures (PagefileUsage stays put while the heap grows).
    std::printf("growth beyond the two mappings  %7.1f MiB (of the 16 allowed)\n",
                growth - static_cast<double>(mapped) / mib);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) {
        args.push_back(w_to_utf8(argv[i]));
    }
    if (mode == L"setup" && args.size() == 1) {
        return setup(argv[2]);
    }
    if (mode == L"time" && args.size() == 9) {
        return time_stagings(std::atoi(args[0].c_str()), argv[3],
                             full_manifest(args[2], args[3], args[4]),
                             delta_manifest(args[8], args[3], args[4], args[5], args[6], args[7]));
    }
    if (mode == L"memory" && args.size() == 8) {
        return measure_memory(argv[2],
                              delta_manifest(args[6], args[1], args[2], args[3], args[4], args[5]),
                              std::strtoull(args[7].c_str(), nullptr, 10));
    }
    std::fprintf(stderr, "usage: delta_bench setup OLD_PACKAGE | time ... | memory ... (see "
                         "the source)\n");
    return 2;
}
