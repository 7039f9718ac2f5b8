#include "package/zip_extract.h"

#include "package/entry_name.h"
#include "package/entry_path.h"
#include "package/image_header.h"
#include "package/zip_reader.h"
#include "state/file_tree.h"
#include "state/text.h"

#include <windows.h>

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace {

// A file to write: the entry, and where it lands below the destination.
struct Target {
    mz_uint index;
    std::wstring rel; // backslashes, no empty or "." component
    bool image;       // a program image, once written: only its writer sets it
};

// What extracting an archive comes to, worked out before anything is written.
struct Plan {
    std::set<std::wstring> folders; // each folder a file or folder entry needs
    std::vector<Target> files;
};

// An open package with its reader.
struct Package {
    FILE* file = nullptr;
    mz_zip_archive zip;
};

bool open_package(const std::wstring& path, Package& package, std::wstring& error) {
    std::memset(&package.zip, 0, sizeof package.zip);
    package.file = _wfopen(path.c_str(), L"rb");
    if (package.file == nullptr) {
        error = L"cannot open package";
        return false;
    }
    if (!mz_zip_reader_init_cfile(&package.zip, package.file, 0, 0)) {
        std::fclose(package.file);
        error = L"package is not a valid zip";
        return false;
    }
    return true;
}

void close_package(Package& package) {
    mz_zip_reader_end(&package.zip);
    std::fclose(package.file);
}

// The name as stored, whole (a NUL in it included), with slashes for backslashes.
// False when it is too long for the reader.
bool stored_name(mz_zip_archive* zip, mz_uint index, std::string& name) {
    char buffer[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    const mz_uint length = mz_zip_reader_get_filename(zip, index, buffer, sizeof buffer);
    if (length == 0 || length > sizeof buffer) {
        return false;
    }
    name.assign(buffer, length - 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    return true;
}

// Sorts the entries into folders and files, skipping unsafe names. False when an entry
// cannot be read as far as can be told without inflating it, or when two would land on
// one file: one would silently replace the other, and which one wins is not the
// package's to leave open. Every entry is checked, skipped ones too (their data may
// overlap another's), so that such a package is refused before anything is made rather
// than after whichever entries the threads happened to reach.
bool make_plan(mz_zip_archive* zip, Plan& plan) {
    std::set<std::wstring> taken;
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        std::string name;
        if (!mz_zip_reader_file_stat(zip, index, &stat) ||
            !mz_zip_validate_file(zip, index, MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY) ||
            !stored_name(zip, index, name)) {
            return false;
        }
        if (!entry_name_is_safe(name)) {
            continue;
        }
        bool named_as_folder = false;
        const std::wstring rel = entry_path(utf8_to_w(name), named_as_folder);
        // The folder attribute alone makes a folder of an entry without data only: one
        // with data is a file, whatever a packer marked it as.
        if (named_as_folder || (stat.m_is_directory && stat.m_uncomp_size == 0)) {
            if (!rel.empty()) {
                plan.folders.insert(rel);
            }
            continue;
        }
        if (!taken.insert(entry_path_folded(rel)).second) {
            return false;
        }
        const size_t last_separator = rel.rfind(L'\\');
        if (last_separator != std::wstring::npos) {
            plan.folders.insert(rel.substr(0, last_separator));
        }
        plan.files.push_back({index, rel, false});
    }
    return true;
}

// A file being written, and what its bytes so far say of it.
struct Output {
    HANDLE file;
    ImageHeader header;
};

size_t write_to_file(void* output, mz_uint64 offset, const void* data, size_t size) {
    Output& out = *static_cast<Output*>(output);
    // The bytes pass here anyway: noting whether they make a program image costs nothing
    // like reading every file again for it.
    image_header_feed(out.header, offset, static_cast<const unsigned char*>(data), size);
    DWORD wrote = 0;
    const bool written =
        WriteFile(out.file, data, static_cast<DWORD>(size), &wrote, nullptr) && wrote == size;
    return written ? size : 0;
}

// Whether the file system may have opened another file than the one `rel` names: a
// "~" makes a short name that can stand for another's long one, and letters beyond
// ASCII may fold to one another otherwise than the plan folded them. Such a name is
// held to the path of the file opened, which costs a trip to the system; others are not.
bool landed_elsewhere(HANDLE file, const std::wstring& rel) {
    const bool plain =
        std::all_of(rel.begin(), rel.end(), [](wchar_t c) { return c < 0x80 && c != L'~'; });
    if (plain) {
        return false;
    }
    wchar_t opened[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleW(file, opened, MAX_PATH * 4, 0);
    if (length == 0 || length >= MAX_PATH * 4 || length < rel.size() + 1) {
        return true; // not known to be its own
    }
    const wchar_t* tail = opened + length - rel.size();
    return tail[-1] != L'\\' ||
           CompareStringOrdinal(tail, static_cast<int>(rel.size()), rel.c_str(),
                                static_cast<int>(rel.size()), TRUE) != CSTR_EQUAL;
}

// Streams one entry to its file, and tells whether it is a program image. A file that
// cannot be completed is deleted, so that none of a wrong size is left under the entry's
// name; and one that turns out to be another entry's fails the extraction.
bool write_entry(mz_zip_archive* zip, const Target& target, const std::wstring& dest, bool& image) {
    const std::wstring path = dest + L"\\" + target.rel;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (landed_elsewhere(file, target.rel)) {
        CloseHandle(file);
        return false;
    }
    Output output = {file, {}};
    bool written = mz_zip_reader_extract_to_callback(zip, target.index, write_to_file, &output, 0);
    image = image_header_is_image(output.header);
    // On the disk before a rename makes the folder a version: after a power cut a good
    // release with empty files would fail its trial and be refused for good.
    written = written && FlushFileBuffers(file);
    written = CloseHandle(file) && written;
    if (!written) {
        DeleteFileW(path.c_str());
    }
    return written;
}

// The files, shared out among the threads that write them: each takes the next.
struct Work {
    const std::wstring* package;
    const std::wstring* dest;
    std::vector<Target>* files;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
};

void write_files(mz_zip_archive* zip, Work& work) {
    for (size_t i = work.next++; i < work.files->size() && !work.failed; i = work.next++) {
        Target& target = (*work.files)[i];
        if (!write_entry(zip, target, *work.dest, target.image)) {
            work.failed = true;
        }
    }
}

// A helping thread reads the package through a stream and a reader of its own; when
// it cannot open them, the calling thread does all the work.
unsigned __stdcall help_write_files(void* argument) {
    Work& work = *static_cast<Work*>(argument);
    Package package;
    std::wstring unused;
    if (!open_package(*work.package, package, unused)) {
        return 0;
    }
    write_files(&package.zip, work);
    close_package(package);
    return 0;
}

} // namespace

bool zip_extract_listing_images(const std::wstring& package, const std::wstring& dest,
                                std::vector<std::wstring>& images, std::wstring& error) {
    images.clear();
    Package main;
    if (!open_package(package, main, error)) {
        return false;
    }
    Plan plan;
    bool ok = make_plan(&main.zip, plan);
    if (ok) {
        CreateDirectoryW(dest.c_str(), nullptr);
        // The folders first, each named once: a file's folders need not be made for
        // each of its files, and the threads writing files never race to make one.
        for (const std::wstring& folder : plan.folders) {
            ensure_parent_dirs(dest, folder + L"\\");
        }
        Work work;
        work.package = &package;
        work.dest = &dest;
        work.files = &plan.files;
        // Entries are independent, and inflating one while another is written keeps
        // both cores busy.
        const uintptr_t helper =
            plan.files.size() > 1 ? _beginthreadex(nullptr, 0, help_write_files, &work, 0, nullptr)
                                  : 0;
        write_files(&main.zip, work);
        if (helper != 0) {
            WaitForSingleObject(reinterpret_cast<HANDLE>(helper), INFINITE);
            CloseHandle(reinterpret_cast<HANDLE>(helper));
        }
        ok = !work.failed;
        for (const Target& target : plan.files) {
            if (ok && target.image) {
                images.push_back(target.rel);
            }
        }
    }
    close_package(main);
    if (!ok) {
        error = L"package extraction failed";
    }
    return ok;
}

bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error) {
    std::vector<std::wstring> images;
    return zip_extract_listing_images(package, dest, images, error);
}
