// Unpacking a release package.
#pragma once

#include <string>
#include <vector>

// Unpacks the ZIP `package` into `dest`, replacing files that exist. Entries whose
// names could land outside `dest` or on another name than their own are skipped
// without a word. Each entry streams to its file through a buffer of fixed size, two
// at a time, and every file is flushed to the disk, by a thread of its own while the
// next ones are written, before the call returns. Fails ("package extraction failed")
// when an entry cannot be read, when two would land on one file (names equal but for
// letter case or "." components, or a short name standing for another's long one,
// included), or when entries share their data. A file or folder that cannot be made,
// written or flushed fails it with "cannot write <path> (error N)", or, when the disk is
// full, with fs_room_error's text for the whole tree; and so does a disk found, before
// anything is made, to have less room than the entries' sizes and a cluster for each.
// Decided before anything is made, `dest` (one level) included: every entry's record
// and name, whether it is readable (method, encryption, sizes that can be true),
// whether its local record and data lie inside the archive before the next entry and
// the central directory, and whether two names land on one file by their spelling
// (letter case, "." components). Such a package leaves nothing. Found only while
// writing: damaged data (CRC-32, sizes that do not hold), a file that cannot be
// written, and a short name that turns out to open another entry's file; then no
// further entry is begun, the failing entry leaves no file, and entries written before
// or beside it stay, for the caller to remove. "cannot open package" and "package is
// not a valid zip" also fail it before anything is created.
bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error);

// As zip_extract; on success `images` also lists, in the archive's order, the files
// written that are program images by their first bytes (package/image_header.h), by
// their paths relative to `dest` with backslashes, as the entries name them: noted as
// the bytes were written, so that none needs reading again. Empty on failure.
// `machine_fault`, when given, tells whether a failure was the machine's (a write, a full
// disk: the package may serve again) rather than the package's.
bool zip_extract_listing_images(const std::wstring& package, const std::wstring& dest,
                                std::vector<std::wstring>& images, std::wstring& error,
                                bool* machine_fault = nullptr);
