// Building a release's tree from a delta package and the folder of the version it
// starts from.
#pragma once

#include <string>
#include <vector>

// Makes the folder `dest`, which must not exist, hold the tree that the delta package
// `delta` describes in its "delta.json": each file taken from `base_dir` (by its path
// there), rebuilt from a file of `base_dir` and a patch of the package, or unpacked from
// the package whole, and each then holding exactly the size and SHA-256 the description
// gives, flushed to the disk; and the description's empty folders. `images` lists the
// files that are program images by their first bytes, by their paths relative to `dest`
// with backslashes, in the description's order. Fails, with `error` saying why, on
// "cannot open delta package", "delta package is not a valid zip", "bad delta
// description" (not the known format, a path that could land outside `dest` or on
// another file's, an entry the package lacks), "delta is for another release" (it was
// made to the tree of another package than the one of SHA-256 `package_sha256`, in
// either case), "base file missing: <path>", "base file
// changed: <path>" (its digest is not the one the delta was made from), a patch that
// does not apply (patch_apply's texts), "result does not match: <path>", "cannot unpack
// <path>" (an entry's data is damaged), "cannot write <path> (error N)", and fs_room_error's
// text when the disk is full or found, before anything is made, to have less room than
// the tree's files, a cluster for each and the largest patch take; what was written by
// then stays, for the caller to remove. Uses delta_patch_file() as scratch, and removes
// it. Nothing proportional to a file's size is held in memory. `machine_fault`, when
// given, tells whether a failure was the machine's (a write, a full disk, a file it could
// not open: the delta may serve again) rather than the delta's or the base tree's.
bool delta_build_tree(const std::wstring& delta, const std::string& package_sha256,
                      const std::wstring& base_dir, const std::wstring& dest,
                      std::vector<std::wstring>& images, std::wstring& error,
                      bool* machine_fault = nullptr);
