// The input read as a package, as extraction reads one: every entry stated, its name put
// to the entry-name rules, its bytes extracted.
#include "package/entry_name.h"
#include "package/zip_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
            std::string name = stat.m_filename;
            std::replace(name.begin(), name.end(), '\\', '/');
            entry_name_is_safe(name);
            mz_zip_reader_is_file_a_directory(&zip, index);
            size_t extracted = 0;
            void* block = mz_zip_reader_extract_to_heap(&zip, index, &extracted, 0);
            // What extracts is supported and has the size its record states.
            if (block != nullptr && (!stat.m_is_supported || extracted != stat.m_uncomp_size)) {
                std::abort();
            }
            mz_free(block);
        }
        mz_zip_reader_end(&zip);
    }
    std::fclose(file);
    return 0;
}
