// Downloads named by their signed digest, kept across runs until complete.
//
// src/package builds on src/state, src/update and src/ui, and on nothing else in src.
#pragma once

#include "update/transfer.h"

#include <cstdint>
#include <string>
#include <vector>

// Downloads the file whose SHA-256 is `sha256` (64 hexadecimal digits, either case) and
// whose size is `size` (0: not known) from `url` into download_partial(sha256), and sets
// `path` to it once its digest matches. A download that ends early keeps what came for
// the next call with the same digest, which asks only for the rest (http_resume_file);
// one kept whole is used without a request, also when `size` is not known.
// A file that fails the digest check is removed; when some of it came from before its
// last request, it is fetched whole once more in the same call, for a beginning kept
// from elsewhere (a power cut, a file changed on the server meanwhile) could otherwise
// fail every later check. Fails with the transfer's text, "could not hash download" or
// "checksum mismatch - download corrupted or tampered". The caller removes the file
// with download_discard once it is done with it; callers hold the updater lock.
bool download_resumable(const std::string& url, const std::string& sha256, uint64_t size,
                        const Progress& progress, std::wstring& path, std::wstring& error);

// Removes the kept download of `sha256` and its validator. Best effort: false when the
// download stays (another process still writes it).
bool download_discard(const std::string& sha256);

// Removes every kept download whose digest `keep` does not name, in either case: what an
// earlier release left when a newer one, or none, is announced. Best effort; for callers
// that hold the updater lock.
void download_prune(const std::vector<std::string>& keep);
