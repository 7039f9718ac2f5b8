#include "package/zip_extract.h"

#include "package/entry_name.h"
#include "package/entry_path.h"
#include "package/image_header.h"
#include "package/zip_reader.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/win_err.h"
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

// On failure `package.file` tells whose fault it was: null when the file could not be
// opened (the machine's), else the package's.
bool open_package(const std::wstring& path, Package& package, std::wstring& error) {
    std::memset(&package.zip, 0, sizeof package.zip);
    package.file = fs_read_stream(path);
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

// Room for each file beyond its bytes: the rest of its last cluster, and its entry in
// its folder.
constexpr uint64_t kAllowancePerFile = 4096;
// How many written files may wait for their flush: each holds a handle meanwhile.
constexpr size_t kFlushQueueCap = 64;

// A file being written, and what its bytes so far say of it.
struct Output {
    HANDLE file;
    ImageHeader header;
    DWORD write_error; // why a write failed; 0 while none has
};

size_t write_to_file(void* output, mz_uint64 offset, const void* data, size_t size) {
    Output& out = *static_cast<Output*>(output);
    // The bytes pass here anyway: noting whether they make a program image costs nothing
    // like reading every file again for it.
    image_header_feed(out.header, offset, static_cast<const unsigned char*>(data), size);
    if (!fs_write_all(out.file, data, size)) {
        out.write_error = GetLastError();
        return 0;
    }
    return size;
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
    std::wstring opened(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file, opened.data(), static_cast<DWORD>(opened.size()), 0);
    if (length == 0 || length >= opened.size() || length < rel.size() + 1) {
        return true; // not known to be its own
    }
    const wchar_t* tail = opened.data() + length - rel.size();
    return tail[-1] != L'\\' ||
           CompareStringOrdinal(tail, static_cast<int>(rel.size()), rel.c_str(),
                                static_cast<int>(rel.size()), TRUE) != CSTR_EQUAL;
}

// A file written whole, waiting to be flushed to the disk and closed.
struct Written {
    HANDLE file;
    std::wstring path;
};

// The files, shared out among the threads that write them (each takes the next), and the
// written ones on their way to the thread that flushes them: every file is on the disk
// before a rename makes the folder a version (after a power cut a good release with
// empty files would fail its trial and be refused for good), but the writers need not
// wait for the disk, file after file.
struct Work {
    const std::wstring* package;
    const std::wstring* dest;
    uint64_t needed; // bytes the whole tree takes, for a full disk's text
    std::vector<Target>* files;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::wstring error;   // set by the one who set `failed`
    bool machine = false; // the failure is the machine's: a write, a full disk

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::vector<Written> to_flush; // in the order written
    bool writing_done = false;
};

// Records the first failure; later ones only stop the work.
void fail(Work& work, const std::wstring& error, bool machine) {
    if (!work.failed.exchange(true)) {
        work.error = error;
        work.machine = machine;
    }
}

// Why writing `path` failed, GetLastError() saying how: a full disk says what it needs.
std::wstring write_failure(const Work& work, const std::wstring& path) {
    const DWORD code = GetLastError();
    return fs_disk_full(code) ? fs_room_error(*work.dest, work.needed)
                              : win_err((L"cannot write " + path).c_str(), code);
}

void flush_one(Work& work, const Written& written) {
    const bool flushed = FlushFileBuffers(written.file) != FALSE;
    const DWORD code = GetLastError();
    const bool closed = CloseHandle(written.file) != FALSE;
    if (!flushed || !closed) {
        SetLastError(code);
        fail(work, write_failure(work, written.path), true);
        fs_delete(written.path);
    }
}

unsigned __stdcall flush_files(void* argument) {
    Work& work = *static_cast<Work*>(argument);
    AcquireSRWLockExclusive(&work.lock);
    for (;;) {
        while (work.to_flush.empty() && !work.writing_done) {
            SleepConditionVariableSRW(&work.changed, &work.lock, INFINITE, 0);
        }
        if (work.to_flush.empty()) {
            break;
        }
        std::vector<Written> batch;
        batch.swap(work.to_flush);
        WakeAllConditionVariable(&work.changed); // room for the writers again
        ReleaseSRWLockExclusive(&work.lock);
        for (const Written& written : batch) {
            flush_one(work, written);
        }
        AcquireSRWLockExclusive(&work.lock);
    }
    ReleaseSRWLockExclusive(&work.lock);
    return 0;
}

// Hands a file written whole to the flushing thread, or flushes it here when there is
// none; waits while many wait already.
void hand_over(Work& work, bool flusher, Written written) {
    if (!flusher) {
        flush_one(work, written);
        return;
    }
    AcquireSRWLockExclusive(&work.lock);
    while (work.to_flush.size() >= kFlushQueueCap) {
        SleepConditionVariableSRW(&work.changed, &work.lock, INFINITE, 0);
    }
    work.to_flush.push_back(std::move(written));
    WakeAllConditionVariable(&work.changed);
    ReleaseSRWLockExclusive(&work.lock);
}

// Streams one entry to its file, and tells whether it is a program image. A file that
// cannot be completed is deleted, so that none of a wrong size is left under the entry's
// name; and one that turns out to be another entry's fails the extraction.
void write_entry(mz_zip_archive* zip, Target& target, Work& work, bool flusher) {
    const std::wstring path = *work.dest + L"\\" + target.rel;
    const HANDLE file = fs_open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        fail(work, write_failure(work, path), true);
        return;
    }
    if (landed_elsewhere(file, target.rel)) {
        CloseHandle(file);
        fail(work, L"package extraction failed", false);
        return;
    }
    Output output = {file, {}, 0};
    const bool written =
        mz_zip_reader_extract_to_callback(zip, target.index, write_to_file, &output, 0);
    target.image = image_header_is_image(output.header);
    if (!written) {
        CloseHandle(file);
        fs_delete(path);
        if (output.write_error != 0) {
            SetLastError(output.write_error);
            fail(work, write_failure(work, path), true);
        } else {
            fail(work, L"package extraction failed", false);
        }
        return;
    }
    hand_over(work, flusher, {file, path});
}

void write_files(mz_zip_archive* zip, Work& work, bool flusher) {
    for (size_t i = work.next++; i < work.files->size() && !work.failed; i = work.next++) {
        write_entry(zip, (*work.files)[i], work, flusher);
    }
}

// The folders a helping thread writes with: each reads the package through a stream and
// a reader of its own.
struct Helper {
    Work* work;
    bool flusher;
};

// When it cannot open the package, the calling thread does all the work.
unsigned __stdcall help_write_files(void* argument) {
    const Helper& helper = *static_cast<Helper*>(argument);
    Package package;
    std::wstring unused;
    if (!open_package(*helper.work->package, package, unused)) {
        return 0;
    }
    write_files(&package.zip, *helper.work, helper.flusher);
    close_package(package);
    return 0;
}

uintptr_t start_thread(unsigned(__stdcall* body)(void*), void* argument) {
    return _beginthreadex(nullptr, 0, body, argument, 0, nullptr);
}

void join_thread(uintptr_t thread) {
    if (thread != 0) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
        CloseHandle(reinterpret_cast<HANDLE>(thread));
    }
}

// What the tree takes on the disk: the entries' bytes, and room for each file and folder.
uint64_t bytes_needed(mz_zip_archive* zip, const Plan& plan) {
    uint64_t needed = (plan.files.size() + plan.folders.size() + 1) * kAllowancePerFile;
    for (const Target& target : plan.files) {
        mz_zip_archive_file_stat stat;
        if (mz_zip_reader_file_stat(zip, target.index, &stat)) {
            needed += stat.m_uncomp_size;
        }
    }
    return needed;
}

// Makes `dest` and every folder of the plan, each named once: a file's folders need not
// be made for each of its files, and the threads writing files never race to make one.
bool make_folders(const Work& work, const Plan& plan, std::wstring& error) {
    const auto make = [&](const std::wstring& path) {
        if (fs_make_folder(path)) {
            return true;
        }
        error = write_failure(work, path);
        return false;
    };
    if (!make(*work.dest)) {
        return false;
    }
    for (const std::wstring& folder : plan.folders) {
        ensure_parent_dirs(*work.dest, folder);
        if (!make(*work.dest + L"\\" + folder)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool zip_extract_listing_images(const std::wstring& package, const std::wstring& dest,
                                std::vector<std::wstring>& images, std::wstring& error,
                                bool* machine_fault) {
    images.clear();
    if (machine_fault != nullptr) {
        *machine_fault = false;
    }
    Package main;
    if (!open_package(package, main, error)) {
        if (machine_fault != nullptr) {
            *machine_fault = main.file == nullptr;
        }
        return false;
    }
    Plan plan;
    if (!make_plan(&main.zip, plan)) {
        close_package(main);
        error = L"package extraction failed";
        return false;
    }
    Work work;
    work.package = &package;
    work.dest = &dest;
    work.needed = bytes_needed(&main.zip, plan);
    work.files = &plan.files;
    // Refused before anything is made when the disk cannot hold the tree.
    const std::wstring parent = dest.substr(0, dest.rfind(L'\\'));
    bool machine = !fs_room_for(parent, work.needed, error) || !make_folders(work, plan, error);
    bool ok = !machine;
    if (ok) {
        const uintptr_t flusher = start_thread(flush_files, &work);
        Helper helper = {&work, flusher != 0};
        // Entries are independent, and inflating one while another is written keeps
        // both cores busy.
        const uintptr_t writer =
            plan.files.size() > 1 ? start_thread(help_write_files, &helper) : 0;
        write_files(&main.zip, work, flusher != 0);
        join_thread(writer);
        AcquireSRWLockExclusive(&work.lock);
        work.writing_done = true;
        WakeAllConditionVariable(&work.changed);
        ReleaseSRWLockExclusive(&work.lock);
        join_thread(flusher);
        ok = !work.failed;
        machine = work.machine;
        if (!ok) {
            error = work.error;
        }
        for (const Target& target : plan.files) {
            if (ok && target.image) {
                images.push_back(target.rel);
            }
        }
    }
    close_package(main);
    if (machine_fault != nullptr) {
        *machine_fault = machine;
    }
    return ok;
}

bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error) {
    std::vector<std::wstring> images;
    return zip_extract_listing_images(package, dest, images, error);
}
