// A ZIP reader with the names, types and meaning of the reading functions of the miniz
// library, so that the library could take this module's place without a change to its
// callers. Archives are read from an open C stream; entries are stored or deflated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef unsigned char mz_uint8;
typedef uint16_t mz_uint16;
typedef uint32_t mz_uint32;
typedef unsigned int mz_uint;
typedef uint64_t mz_uint64;
typedef int mz_bool;

#define MZ_FALSE 0
#define MZ_TRUE 1

enum {
    MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE = 512,
    MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE = 512,
};

struct mz_zip_internal_state;

// Zero-fill before mz_zip_reader_init_cfile.
struct mz_zip_archive {
    mz_uint64 m_archive_size;
    mz_uint64 m_central_directory_file_ofs;
    mz_uint32 m_total_files;
    mz_zip_internal_state* m_pState;
};

struct mz_zip_archive_file_stat {
    mz_uint32 m_file_index;
    mz_uint64 m_central_dir_ofs;
    mz_uint16 m_version_made_by;
    mz_uint16 m_version_needed;
    mz_uint16 m_bit_flag;
    mz_uint16 m_method;
    mz_uint32 m_crc32;
    mz_uint64 m_comp_size;
    mz_uint64 m_uncomp_size;
    mz_uint16 m_internal_attr;
    mz_uint32 m_external_attr;
    mz_uint64 m_local_header_ofs;
    mz_uint32 m_comment_size;
    mz_bool m_is_directory;
    mz_bool m_is_encrypted;
    mz_bool m_is_supported;
    char m_filename[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    char m_comment[MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE];
};

// Reads the archive that starts at the stream's current position and, when
// `archive_size` is 0, ends at the end of the stream. Checks the whole central
// directory; the stream stays open and must outlive the reader. `flags` must be 0.
mz_bool mz_zip_reader_init_cfile(mz_zip_archive* pZip, FILE* pFile, mz_uint64 archive_size,
                                 mz_uint flags);

mz_uint mz_zip_reader_get_num_files(mz_zip_archive* pZip);

// Fails, unlike the library, for a name or comment too long for the record rather
// than truncating it: a shortened name would name another file.
mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index,
                                mz_zip_archive_file_stat* pStat);

// True when the name ends in a slash or the entry carries the DOS directory attribute.
mz_bool mz_zip_reader_is_file_a_directory(mz_zip_archive* pZip, mz_uint file_index);

// The entry's bytes in a block from the heap, to be freed with mz_free; null when the
// entry is encrypted, of another method than stored or deflate, damaged, fails its
// CRC-32 or size check, or the memory is not there. An empty entry gives a valid
// block of size 0. `flags` must be 0.
void* mz_zip_reader_extract_to_heap(mz_zip_archive* pZip, mz_uint file_index, size_t* pSize,
                                    mz_uint flags);

void mz_free(void* p);

// Releases the reader; the stream is left open.
mz_bool mz_zip_reader_end(mz_zip_archive* pZip);
