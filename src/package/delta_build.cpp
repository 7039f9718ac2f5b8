#include "package/delta_build.h"

#include "package/entry_name.h"
#include "package/entry_path.h"
#include "package/image_file.h"
#include "package/image_header.h"
#include "package/patch_apply.h"
#include "package/sha256_file.h"
#include "package/sha256_stream.h"
#include "package/zip_reader.h"
#include "state/fs.h"
#include "state/hex_digest.h"
#include "state/paths.h"
#include "state/strict_json.h"
#include "state/text.h"
#include "state/win_err.h"

#include <windows.h>

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace {

const char kDescriptionName[] = "delta.json";
const uint64_t kFormat = 1;
// A description of a hundred thousand files is a few megabytes.
const size_t kDescriptionCap = 64 * 1024 * 1024;
const DWORD kCopyChunk = 1024 * 1024;
// Room for each file beyond its bytes: the rest of its last cluster, and its entry in
// its folder.
constexpr uint64_t kAllowancePerFile = 4096;

enum class Source { kOld, kPatch, kWhole };

struct DeltaFile {
    std::wstring path; // relative to the tree, backslashes, no "." components
    uint64_t size = 0;
    std::string sha256; // lowercase
    Source source = Source::kWhole;
    std::wstring base; // kOld, kPatch: relative to the base folder
    std::string base_sha256;
    mz_uint entry = 0; // kPatch, kWhole: the package's entry
};

struct Description {
    std::vector<DeltaFile> files;
    std::vector<std::wstring> folders;
};

// A safe name as a relative Windows path, backslashes taken as the separators Windows
// takes them for, so that "a\\..\\.." is checked as the components it is.
bool relative_path(const std::string& name, std::wstring& path) {
    std::string slashed = name;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    bool last_is_folder = false;
    path = entry_name_is_safe(slashed) ? entry_path(utf8_to_w(slashed), last_is_folder) : L"";
    return !path.empty();
}

size_t collect_text(void* opaque, mz_uint64, const void* data, size_t size) {
    std::string& text = *static_cast<std::string*>(opaque);
    if (text.size() + size > kDescriptionCap) {
        return 0;
    }
    text.append(static_cast<const char*>(data), size);
    return size;
}

// Reads and checks delta.json: every path safe and unique however its letters are
// cased, every entry it names there and no folder, every digest well formed.
bool read_description(mz_zip_archive& zip, const std::map<std::string, mz_uint>& entries,
                      const std::string& package_sha256, Description& description,
                      std::wstring& error) {
    error = L"bad delta description";
    const auto found = entries.find(kDescriptionName);
    std::string text;
    if (found == entries.end() ||
        !mz_zip_reader_extract_to_callback(&zip, found->second, collect_text, &text, 0)) {
        return false;
    }
    const nlohmann::json document = parse_strict_json(text);
    const auto format = document.is_object() ? document.find("format") : document.end();
    const auto files = document.is_object() ? document.find("files") : document.end();
    if (format == document.end() || !format->is_number_unsigned() ||
        format->get<uint64_t>() != kFormat || files == document.end() || !files->is_array()) {
        return false;
    }
    // The tree is the one of the package the delta was made to, which the signed manifest
    // names: a delta offered with another release is refused.
    const std::string made_to = digest_lowercase(json_string_member(document, "package_sha256"));
    if (made_to.empty() || made_to != digest_lowercase(package_sha256)) {
        error = L"delta is for another release";
        return false;
    }
    std::set<std::wstring> taken;
    for (const nlohmann::json& item : *files) {
        if (!item.is_object()) {
            return false;
        }
        DeltaFile file;
        bool bad = false;
        const std::string source = json_string_member(item, "source", &bad);
        const auto size = item.find("size");
        file.sha256 = digest_lowercase(json_string_member(item, "sha256", &bad));
        if (bad || !relative_path(json_string_member(item, "path"), file.path) ||
            !taken.insert(entry_path_folded(file.path)).second || size == item.end() ||
            !size->is_number_unsigned() || file.sha256.empty()) {
            return false;
        }
        file.size = size->get<uint64_t>();
        if (source != "old" && source != "patch" && source != "whole") {
            return false;
        }
        file.source = source == "old"     ? Source::kOld
                      : source == "patch" ? Source::kPatch
                                          : Source::kWhole;
        if (file.source == Source::kOld || file.source == Source::kPatch) {
            if (!relative_path(json_string_member(item, "base"), file.base)) {
                return false;
            }
        }
        if (file.source == Source::kPatch) {
            file.base_sha256 = digest_lowercase(json_string_member(item, "base_sha256"));
            if (file.base_sha256.empty()) {
                return false;
            }
        }
        if (file.source == Source::kPatch || file.source == Source::kWhole) {
            const auto entry = entries.find(json_string_member(item, "entry"));
            if (entry == entries.end() || mz_zip_reader_is_file_a_directory(&zip, entry->second)) {
                return false;
            }
            file.entry = entry->second;
        }
        description.files.push_back(file);
    }
    const auto folders = document.find("folders");
    if (folders != document.end()) {
        if (!folders->is_array()) {
            return false;
        }
        for (const nlohmann::json& item : *folders) {
            std::wstring path;
            if (!item.is_string() || !relative_path(item.get_ref<const std::string&>(), path)) {
                return false;
            }
            description.folders.push_back(path);
        }
    }
    return true;
}

// What the tree takes on the disk: its files' bytes, room for each file and folder, and
// the largest patch, which is unpacked beside it while it is applied.
uint64_t bytes_needed(mz_zip_archive& zip, const Description& description) {
    uint64_t needed =
        (description.files.size() + description.folders.size() + 1) * kAllowancePerFile;
    uint64_t largest_patch = 0;
    for (const DeltaFile& file : description.files) {
        needed += file.size;
        mz_zip_archive_file_stat stat;
        if (file.source == Source::kPatch && mz_zip_reader_file_stat(&zip, file.entry, &stat) &&
            stat.m_uncomp_size > largest_patch) {
            largest_patch = stat.m_uncomp_size;
        }
    }
    return needed + largest_patch;
}

// Makes the folders above `path` (relative to `dest`), which must exist or be made.
bool make_parents(const std::wstring& dest, const std::wstring& path) {
    for (size_t slash = path.find(L'\\'); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1)) {
        const std::wstring folder = dest + L"\\" + path.substr(0, slash);
        if (!fs_make_folder(folder)) {
            return false;
        }
    }
    return true;
}

// A file being written, its digest and first bytes taken as they pass.
struct Output {
    HANDLE file = INVALID_HANDLE_VALUE;
    Sha256Stream digest;
    ImageHeader header{};
    uint64_t written = 0;
    bool failed = false;
    DWORD disk_error = 0; // why making, writing or flushing the file failed; 0: it did not
};

// Made anew: a file already there would be one an earlier path reached under another
// name (a short name, say), and is never written over.
bool output_open(Output& out, const std::wstring& path) {
    out.file = fs_open(path, GENERIC_WRITE, 0, CREATE_NEW);
    if (out.file == INVALID_HANDLE_VALUE) {
        out.disk_error = GetLastError();
        return false;
    }
    return sha256_stream_open(out.digest);
}

bool output_write(Output& out, const void* data, size_t size) {
    bool ok = !out.failed && sha256_stream_add(out.digest, data, size);
    if (ok && !fs_write_all(out.file, data, size)) {
        out.disk_error = GetLastError();
        ok = false;
    }
    if (ok) {
        image_header_feed(out.header, out.written, static_cast<const unsigned char*>(data), size);
        out.written += size;
    }
    out.failed = !ok;
    return ok;
}

// Flushes and closes; true when everything written reached the disk and `digest` is set.
bool output_close(Output& out, std::string& digest) {
    bool ok = out.file != INVALID_HANDLE_VALUE && !out.failed;
    if (ok && !FlushFileBuffers(out.file)) {
        out.disk_error = GetLastError();
        ok = false;
    }
    ok = ok && sha256_stream_finish(out.digest, digest);
    if (out.file != INVALID_HANDLE_VALUE) {
        CloseHandle(out.file);
    }
    sha256_stream_close(out.digest);
    return ok;
}

size_t write_to_output(void* opaque, mz_uint64, const void* data, size_t size) {
    return output_write(*static_cast<Output*>(opaque), data, size) ? size : 0;
}

// Copies the base file through `buffer` (kCopyChunk bytes, or null, which fails),
// taking the copy's digest as it goes.
bool copy_file(const std::wstring& from, Output& out, void* buffer) {
    const HANDLE file =
        fs_open(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = buffer != nullptr;
    for (DWORD got = 0; ok;) {
        ok = ReadFile(file, buffer, kCopyChunk, &got, nullptr) != FALSE;
        if (!ok || got == 0) {
            break;
        }
        ok = output_write(out, buffer, got);
    }
    CloseHandle(file);
    return ok;
}

// The files of a tree being built, shared by the two threads that build them.
struct Build {
    Build(mz_zip_archive& zip_in, const Description& description_in,
          const std::wstring& base_dir_in, const std::wstring& dest_in, uint64_t needed_in)
        : zip(zip_in), description(description_in), base_dir(base_dir_in), dest(dest_in),
          needed(needed_in), images(description_in.files.size(), 0),
          errors(description_in.files.size()), machine(description_in.files.size(), 0),
          first_failure(description_in.files.size()) {
        for (size_t i = 0; i < description.files.size(); ++i) {
            if (description.files[i].source == Source::kOld) {
                copies.push_back(i);
            }
        }
    }

    mz_zip_archive& zip;
    const Description& description;
    const std::wstring& base_dir;
    const std::wstring& dest;
    uint64_t needed;                  // what the tree takes on the disk, for a full disk's text
    std::vector<size_t> copies;       // the files taken from the old tree, in order
    std::atomic<size_t> next_copy{0}; // the next of them that no thread has taken
    std::vector<char> images;         // by file: a program image
    std::vector<std::wstring> errors; // by file: why it failed
    std::vector<char> machine;        // by file: the failure was the machine's, not the delta's
    // The lowest index of a file that failed; the number of files while none has.
    std::atomic<size_t> first_failure;
};

// Why `path` could not be made, written or flushed, `code` saying how.
std::wstring disk_failure(const Build& build, const std::wstring& path, DWORD code) {
    return fs_disk_full(code) ? fs_room_error(build.dest, build.needed)
                              : win_err((L"cannot write " + path).c_str(), code);
}

// Patches the base file with the entry, through the scratch file, into `path`.
bool apply_entry_patch(const Build& build, const DeltaFile& file, const std::wstring& base,
                       const std::wstring& path, std::string& digest, std::wstring& error,
                       bool& machine) {
    const std::wstring scratch = delta_patch_file();
    Output patch;
    std::string ignored;
    fs_delete(scratch);
    const bool extracted =
        output_open(patch, scratch) &&
        mz_zip_reader_extract_to_callback(&build.zip, file.entry, write_to_output, &patch, 0);
    if (!output_close(patch, ignored) || !extracted) {
        fs_delete(scratch);
        machine = patch.disk_error != 0;
        error = machine ? disk_failure(build, scratch, patch.disk_error)
                        : L"cannot unpack the patch for " + file.path;
        return false;
    }
    bool applied = false;
    const HANDLE handle = fs_open(scratch, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    const HANDLE mapping = handle == INVALID_HANDLE_VALUE || patch.written == 0
                               ? nullptr
                               : CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view =
        mapping == nullptr ? nullptr : MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view != nullptr) {
        applied = patch_apply(base, view, static_cast<size_t>(patch.written), path, file.size,
                              digest, error, &machine);
        UnmapViewOfFile(view);
    } else {
        error = L"patch does not decode";
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    fs_delete(scratch);
    return applied;
}

// Builds file `i` of the description; on failure says why in build.errors[i], and
// whose fault it was in build.machine[i].
bool build_file(Build& build, size_t i, void* buffer, bool& is_image) {
    const DeltaFile& file = build.description.files[i];
    std::wstring& error = build.errors[i];
    bool machine = false;
    const std::wstring path = build.dest + L"\\" + file.path;
    const std::wstring base = build.base_dir + L"\\" + file.base;
    // A copy's missing base shows when it is opened; a patch's would only show as a
    // base that cannot be mapped.
    if (file.source == Source::kPatch && !file_exists(base)) {
        error = L"base file missing: " + file.base;
        return false;
    }
    std::string digest;
    if (file.source == Source::kPatch) {
        // The result's digest, of exactly file.size bytes, is what proves it; the base is
        // read once more only to name why a result came out wrong (or not at all), for a
        // changed base is the likeliest reason and the one a user can act on.
        const bool built = apply_entry_patch(build, file, base, path, digest, error, machine);
        build.machine[i] = machine ? 1 : 0;
        if (!machine && (!built || digest != file.sha256)) {
            std::string base_digest;
            if (!sha256_file(base, base_digest) || base_digest != file.base_sha256) {
                error = L"base file changed: " + file.base;
                return false;
            }
        }
        if (!built) {
            return false;
        }
        if (digest != file.sha256) {
            error = L"result does not match: " + file.path;
            return false;
        }
        if (!image_file_read(path, is_image)) {
            error = L"cannot read " + path;
            return false;
        }
        return true;
    }
    Output out;
    const bool opened = output_open(out, path);
    const bool filled =
        opened && (file.source == Source::kOld
                       ? copy_file(base, out, buffer)
                       : mz_zip_reader_extract_to_callback(&build.zip, file.entry, write_to_output,
                                                           &out, 0) != MZ_FALSE);
    const bool written = output_close(out, digest) && filled;
    if (!written) {
        build.machine[i] = out.disk_error != 0 ? 1 : 0;
        error = out.disk_error != 0 ? disk_failure(build, path, out.disk_error)
                : file.source == Source::kOld && opened && !out.failed
                    ? L"base file missing: " + file.base
                    : L"cannot unpack " + file.path;
        return false;
    }
    const bool matches = digest == file.sha256 && out.written == file.size;
    // A base file that is not the one the delta was made from shows in its copy.
    if (!matches) {
        error = file.source == Source::kOld ? L"base file changed: " + file.base
                                            : L"result does not match: " + file.path;
        return false;
    }
    is_image = image_header_is_image(out.header);
    return true;
}

// Builds file `i` through `buffer` (kCopyChunk bytes); a failure lowers first_failure.
bool build_one(Build& build, size_t i, void* buffer) {
    bool is_image = false;
    if (!build_file(build, i, buffer, is_image)) {
        size_t seen = build.first_failure;
        while (i < seen && !build.first_failure.compare_exchange_weak(seen, i)) {
        }
        return false;
    }
    build.images[i] = is_image ? 1 : 0;
    return true;
}

// The files taken from the old tree, each by whichever thread takes it next, in order,
// until one fails or one after a failure comes up. The files are taken in order, so
// every one before the first failure is built, and that failure is the one a single
// thread going through them in order would meet.
void build_copies(Build& build, void* buffer) {
    for (size_t taken; (taken = build.next_copy++) < build.copies.size();) {
        const size_t i = build.copies[taken];
        if (i >= build.first_failure || !build_one(build, i, buffer)) {
            return;
        }
    }
}

// The other files, patched and unpacked from the one archive, in order on one thread;
// then it helps with the copies.
void build_others(Build& build, void* buffer) {
    const std::vector<DeltaFile>& files = build.description.files;
    for (size_t i = 0; i < files.size() && i < build.first_failure; ++i) {
        if (files[i].source != Source::kOld && !build_one(build, i, buffer)) {
            return;
        }
    }
    build_copies(build, buffer);
}

unsigned __stdcall copy_thread(void* argument) {
    // One buffer for every copy and reading: under Wine a block this large taken from
    // the heap and given back for each of a release's many small files cost more than
    // reading them.
    void* buffer = std::malloc(kCopyChunk);
    build_copies(*static_cast<Build*>(argument), buffer);
    std::free(buffer);
    return 0;
}

} // namespace

bool delta_build_tree(const std::wstring& delta, const std::string& package_sha256,
                      const std::wstring& base_dir, const std::wstring& dest,
                      std::vector<std::wstring>& images, std::wstring& error, bool* machine_fault) {
    images.clear();
    error.clear();
    bool machine = false;
    FILE* stream = fs_read_stream(delta);
    if (stream == nullptr) {
        error = L"cannot open delta package";
        if (machine_fault != nullptr) {
            *machine_fault = true;
        }
        return false;
    }
    mz_zip_archive zip{};
    if (!mz_zip_reader_init_cfile(&zip, stream, 0, 0)) {
        std::fclose(stream);
        error = L"delta package is not a valid zip";
        if (machine_fault != nullptr) {
            *machine_fault = false;
        }
        return false;
    }
    std::map<std::string, mz_uint> entries;
    char name[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&zip); ++i) {
        const mz_uint length = mz_zip_reader_get_filename(&zip, i, name, sizeof name);
        if (length > 0 && length <= sizeof name && std::string(name).size() + 1 == length) {
            entries.emplace(name, i);
        }
    }
    Description description;
    bool ok = read_description(zip, entries, package_sha256, description, error);
    const uint64_t needed = ok ? bytes_needed(zip, description) : 0;
    if (ok) {
        error.clear();
        // Refused before anything is made when the disk cannot hold the tree.
        machine = !fs_room_for(dest.substr(0, dest.rfind(L'\\')), needed, error);
        ok = !machine;
    }
    // Made anew: one left from before would mix its files into this tree.
    if (ok && (fs_attributes(dest) != INVALID_FILE_ATTRIBUTES || !fs_make_folder(dest))) {
        error = L"cannot write " + dest;
        machine = true;
        ok = false;
    }
    for (size_t i = 0; ok && i < description.folders.size(); ++i) {
        const std::wstring folder = description.folders[i] + L"\\";
        ok = make_parents(dest, folder);
        if (!ok) {
            error = L"cannot write " + dest + L"\\" + description.folders[i];
            machine = true;
        }
    }
    // Every file's folders once, before any file is written, rather than asked of the
    // file system again for each of many files in one folder.
    std::set<std::wstring> parents;
    for (size_t i = 0; ok && i < description.files.size(); ++i) {
        const std::wstring& path = description.files[i].path;
        const size_t slash = path.rfind(L'\\');
        if (slash != std::wstring::npos && parents.insert(path.substr(0, slash)).second) {
            ok = make_parents(dest, path);
            if (!ok) {
                error = L"cannot write " + dest + L"\\" + path.substr(0, slash);
                machine = true;
            }
        }
    }
    if (ok) {
        Build build(zip, description, base_dir, dest, needed);
        // Copying the files taken as they were keeps a second core busy while the
        // others are decoded and unpacked, and the first thread to be done with its own
        // share helps with the rest. Without a second thread, the first does it all.
        const uintptr_t helper =
            build.copies.empty() ? 0 : _beginthreadex(nullptr, 0, copy_thread, &build, 0, nullptr);
        void* buffer = std::malloc(kCopyChunk);
        build_others(build, buffer);
        std::free(buffer);
        if (helper != 0) {
            WaitForSingleObject(reinterpret_cast<HANDLE>(helper), INFINITE);
            CloseHandle(reinterpret_cast<HANDLE>(helper));
        }
        const size_t failed = build.first_failure;
        ok = failed == description.files.size();
        for (size_t i = 0; ok && i < description.files.size(); ++i) {
            if (build.images[i]) {
                images.push_back(description.files[i].path);
            }
        }
        if (!ok) {
            error = build.errors[failed];
            machine = build.machine[failed] != 0;
        }
    }
    mz_zip_reader_end(&zip);
    std::fclose(stream);
    if (!ok) {
        images.clear();
    }
    if (machine_fault != nullptr) {
        *machine_fault = !ok && machine;
    }
    return ok;
}
