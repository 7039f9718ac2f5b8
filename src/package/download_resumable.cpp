#include "package/download_resumable.h"

#include "package/sha256_file.h"
#include "state/fs.h"
#include "state/hex_digest.h"
#include "state/paths.h"
#include "state/text.h"

#include <windows.h>

#include <cwchar>

namespace {

// The manifest may give a digest in either case; the computed one is lowercase.
bool digest_matches(const std::string& announced, const std::string& computed) {
    const std::string digest = digest_lowercase(announced);
    return !digest.empty() && digest == digest_lowercase(computed);
}

// Hashed while no other process can write it: what is checked is what is then used.
bool check_digest(const std::wstring& path, const std::string& sha256, std::wstring& error) {
    const HANDLE guard = fs_open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    std::string digest;
    const bool hashed = guard != INVALID_HANDLE_VALUE && sha256_file(path, digest);
    if (guard != INVALID_HANDLE_VALUE) {
        CloseHandle(guard);
    }
    if (!hashed) {
        error = L"could not hash download";
        return false;
    }
    if (!digest_matches(sha256, digest)) {
        error = L"checksum mismatch - download corrupted or tampered";
        return false;
    }
    return true;
}

} // namespace

bool download_resumable(const std::string& url, const std::string& sha256, uint64_t size,
                        const Progress& progress, std::wstring& path, std::wstring& error) {
    const std::wstring partial = download_partial(sha256);
    // Kept whole by a run whose staging the machine failed: taken as it is when its digest
    // says so, also where no size tells that it is complete.
    std::wstring unused;
    if (size == 0 && file_exists(partial) && check_digest(partial, sha256, unused)) {
        path = partial;
        return true;
    }
    for (int pass = 0; pass < 2; ++pass) {
        bool resumed = false;
        if (!http_resume_file(utf8_to_w(url), partial, download_validator(sha256), size, progress,
                              resumed, error)) {
            return false;
        }
        const bool checked = check_digest(partial, sha256, error);
        if (checked) {
            path = partial;
            return true;
        }
        // A file that fails its digest is never continued.
        if (!download_discard(sha256) || !resumed) {
            return false;
        }
    }
    return false;
}

bool download_discard(const std::string& sha256) {
    const std::wstring partial = download_partial(sha256);
    // The data first: while another process writes it, neither goes.
    const bool gone = fs_delete(partial);
    if (gone) {
        fs_delete(download_validator(sha256));
    }
    return gone;
}

void download_prune(const std::vector<std::string>& keep) {
    std::vector<std::string> dropped;
    fs_list(download_names(), [&](const WIN32_FIND_DATAW& entry) {
        const std::string digest = download_digest_of(entry.cFileName);
        bool kept = digest.empty(); // not a name of a kept download
        for (const std::string& named : keep) {
            kept = kept || digest_matches(named, digest);
        }
        if (!kept) {
            dropped.push_back(digest);
        }
        return true;
    });
    for (const std::string& digest : dropped) {
        download_discard(digest);
    }
}
