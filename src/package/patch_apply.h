// Rebuilding a file from an older one and a zstd patch made against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Decodes `patch`, one zstd frame made with the file `base_path` as its prefix (as
// `zstd --patch-from=BASE NEW --long=N` makes them, windows up to 2 GiB), into a new file
// `out_path` of exactly `out_size` bytes, written to the disk and closed. The base is
// read through a file mapping and the result written through another, so the memory
// used does not grow with the files' sizes on the heap. `out_path` must not exist yet.
// False, with `error` set and no file left at `out_path`, when the base cannot be opened
// and mapped ("cannot read <base_path>"), the patch is not one frame that decodes
// against it, its checksum included ("patch does not decode"), it declares or gives
// another size than `out_size` ("patch result has the wrong size"), or the result
// cannot be created, sized, written or flushed ("cannot write <out_path>"; an existing
// file there is left as it was). On success `sha256` is the result's SHA-256 (64
// lowercase hexadecimal characters), taken of the bytes as they were decoded; empty on
// failure. A patch without a checksum decoded against the wrong base gives wrong bytes:
// the caller checks that digest. The result's room is asked of the disk before the file is
// made: fs_room_error's text when there is too little. `machine_fault`, when given, tells
// whether a failure was the machine's (a write, a full disk) rather than the patch's or
// the base's.
bool patch_apply(const std::wstring& base_path, const void* patch, size_t patch_size,
                 const std::wstring& out_path, uint64_t out_size, std::string& sha256,
                 std::wstring& error, bool* machine_fault = nullptr);
