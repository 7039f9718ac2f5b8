#include "package/zip_extract.h"

#include "package/entry_name.h"
#include "package/zip_reader.h"
#include "state/file_tree.h"
#include "state/text.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Writes one entry below `dest`, or skips it for an unsafe name; false when it cannot
// be read or written.
bool extract_entry(mz_zip_archive* zip, mz_uint index, const std::wstring& dest) {
    mz_zip_archive_file_stat stat;
    if (!mz_zip_reader_file_stat(zip, index, &stat)) {
        return false;
    }
    std::string name = stat.m_filename;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!entry_name_is_safe(name)) {
        return true;
    }
    std::wstring rel = utf8_to_w(name);
    std::replace(rel.begin(), rel.end(), L'/', L'\\');

    // A name ending in a separator can only be a folder, whichever separator it uses.
    if (mz_zip_reader_is_file_a_directory(zip, index) || rel.back() == L'\\') {
        ensure_parent_dirs(dest, rel.back() == L'\\' ? rel : rel + L"\\");
        return true;
    }
    ensure_parent_dirs(dest, rel);
    size_t size = 0;
    void* block = mz_zip_reader_extract_to_heap(zip, index, &size, 0);
    if (block == nullptr) {
        return false;
    }
    bool written = false;
    FILE* out = _wfopen((dest + L"\\" + rel).c_str(), L"wb");
    if (out != nullptr) {
        written = std::fwrite(block, 1, size, out) == size;
        // A failed close can lose buffered bytes.
        written = std::fclose(out) == 0 && written;
    }
    mz_free(block);
    return written;
}

} // namespace

bool zip_extract(const std::wstring& package, const std::wstring& dest, std::wstring& error) {
    FILE* file = _wfopen(package.c_str(), L"rb");
    if (file == nullptr) {
        error = L"cannot open package";
        return false;
    }
    mz_zip_archive zip;
    std::memset(&zip, 0, sizeof zip);
    if (!mz_zip_reader_init_cfile(&zip, file, 0, 0)) {
        std::fclose(file);
        error = L"package is not a valid zip";
        return false;
    }
    CreateDirectoryW(dest.c_str(), nullptr);
    bool ok = true;
    const mz_uint count = mz_zip_reader_get_num_files(&zip);
    for (mz_uint index = 0; ok && index < count; ++index) {
        ok = extract_entry(&zip, index, dest);
    }
    mz_zip_reader_end(&zip);
    std::fclose(file);
    if (!ok) {
        error = L"package extraction failed";
    }
    return ok;
}
