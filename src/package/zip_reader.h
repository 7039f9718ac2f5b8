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

typedef enum {
    // mz_zip_validate_file: check the records and where the data lies, not the data.
    MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY = 0x2000,
} mz_zip_flags;

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
// directory, which must hold exactly the entries its end record counts; the stream
// stays open and must outlive the reader. `flags` must be 0.
mz_bool mz_zip_reader_init_cfile(mz_zip_archive* pZip, FILE* pFile, mz_uint64 archive_size,
                                 mz_uint flags);

mz_uint mz_zip_reader_get_num_files(mz_zip_archive* pZip);

// Fails, unlike the library, for a name or comment too long for the record rather
// than truncating it: a shortened name would name another file.
mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index,
                                mz_zip_archive_file_stat* pStat);

// True when the name ends in a slash or the entry carries the DOS directory attribute.
mz_bool mz_zip_reader_is_file_a_directory(mz_zip_archive* pZip, mz_uint file_index);

// Copies the entry's name, whole, into `pFilename` when it fits `filename_buf_size`
// with its terminating NUL, else as much as fits (terminated; nothing when the size is
// 0). Returns, unlike the library, the whole name's length plus one rather than what
// was copied, so that a NUL within the name and a name cut short both show; 0 for an
// index that is not there.
mz_uint mz_zip_reader_get_filename(mz_zip_archive* pZip, mz_uint file_index, char* pFilename,
                                   mz_uint filename_buf_size);

// Checks the entry without writing it anywhere. With MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY
// nothing is decompressed: false when the entry is encrypted, of another method than
// stored or deflate, or states sizes no such entry can have, or when its local record,
// the local name and extra field or its data reach outside the archive, onto the next
// entry's local record or onto the central directory (entries sharing a local record
// included). Without the flag it also streams the entry and fails as
// mz_zip_reader_extract_to_callback would. Any other flag fails.
mz_bool mz_zip_validate_file(mz_zip_archive* pZip, mz_uint file_index, mz_uint flags);

// Receives the entry's bytes in order, `n` at a time from `file_ofs`; returns how many
// it took, and anything less than `n` stops the extraction.
typedef size_t (*mz_file_write_func)(void* pOpaque, mz_uint64 file_ofs, const void* pBuf, size_t n);

// Streams the entry's bytes to `pCallback` through a buffer of fixed size, checking
// its CRC-32 and sizes as they pass. False when the entry is encrypted, of another
// method than stored or deflate, damaged, gives more or fewer bytes than it announces
// (found as soon as they come), fails its CRC-32 (found at the end, after the callback
// has had every byte), lies even partly on the data of another entry or on the
// central directory, when the callback stops, or when the memory is not there. Each
// stream of an archive must be used by one thread at a time; several readers of one
// archive, each on its own stream, may run side by side. `flags` must be 0.
mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index,
                                          mz_file_write_func pCallback, void* pOpaque,
                                          mz_uint flags);

// Releases the reader; the stream is left open.
mz_bool mz_zip_reader_end(mz_zip_archive* pZip);
