// The input read as a package, as extraction reads one: every entry stated and checked
// without inflating, its whole name put to the entry-name rules, its bytes streamed out.
#include "package/entry_name.h"
#include "package/zip_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Bytes must come in order, without gaps.
size_t take(void* next, mz_uint64 ofs, const void*, size_t size) {
    mz_uint64& expected = *static_cast<mz_uint64*>(next);
    if (ofs != expected) {
        std::abort();
    }
    expected += size;
    return size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // fmemopen refuses an empty buffer; the reader refuses anything below 22 bytes anyway.
    FILE* file = size == 0 ? nullptr : fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    mz_zip_archive zip;
    std::memset(&zip, 0, sizeof zip);
    if (mz_zip_reader_init_cfile(&zip, file, 0, 0)) {
        const mz_uint count = mz_zip_reader_get_num_files(&zip);
        for (mz_uint index = 0; index < count; ++index) {
            mz_zip_archive_file_stat stat;
            if (!mz_zip_reader_file_stat(&zip, index, &stat)) {
                continue;
            }
            // The entry's data lies within the input, whatever its record claims.
            if (stat.m_local_header_ofs > size ||
                stat.m_comp_size > size - stat.m_local_header_ofs) {
                std::abort();
            }
            char buffer[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
            const mz_uint length = mz_zip_reader_get_filename(&zip, index, buffer, sizeof buffer);
            if (length == 0 || length > sizeof buffer) {
                std::abort(); // file_stat read this name whole
            }
            std::string name(buffer, length - 1);
            std::replace(name.begin(), name.end(), '\\', '/');
            entry_name_is_safe(name);
            mz_zip_reader_is_file_a_directory(&zip, index);
            // What extracts is supported, has the size its record states, and passed
            // the checks extraction makes first; the full check agrees with extraction.
            const bool headers_valid =
                mz_zip_validate_file(&zip, index, MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY);
            mz_uint64 streamed = 0;
            const bool extracted =
                mz_zip_reader_extract_to_callback(&zip, index, take, &streamed, 0);
            if (extracted &&
                (!stat.m_is_supported || streamed != stat.m_uncomp_size || !headers_valid)) {
                std::abort();
            }
            if (static_cast<bool>(mz_zip_validate_file(&zip, index, 0)) != extracted) {
                std::abort();
            }
        }
        mz_zip_reader_end(&zip);
    }
    std::fclose(file);
    return 0;
}
