#include "package/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// Every offset and length read from the archive is checked against the archive's size
// before it is used, so a damaged or hostile archive can neither make the reader look
// outside the file nor make it allocate more than the file can justify.

struct mz_zip_internal_state {
    FILE* file;
    mz_uint64 start;   // stream position of the archive's first byte
    mz_uint8* central; // the whole central directory
    mz_uint64 central_size;
    size_t* record_ofs; // where each entry's record starts within `central`
    // Where each entry's data must end: the next entry's local record, or the central
    // directory. Entries that share data would let a small archive write without end.
    mz_uint64* data_limit;
    mz_uint8* buffers; // the input and output chunks of an extraction, made on first use
};

namespace {

const mz_uint32 kEndSignature = 0x06054b50;
const mz_uint32 kEnd64Signature = 0x06064b50;
const mz_uint32 kEnd64LocatorSignature = 0x07064b50;
const mz_uint32 kCentralSignature = 0x02014b50;
const mz_uint32 kLocalSignature = 0x04034b50;
const size_t kEndSize = 22;
const size_t kEnd64Size = 56;
const size_t kEnd64LocatorSize = 20;
const size_t kCentralSize = 46;
const size_t kLocalSize = 30;
const size_t kMaxCommentSize = 0xFFFF;
const mz_uint16 kZip64ExtraId = 0x0001;
const mz_uint16 kFlagEncrypted = 0x0001;
const mz_uint16 kFlagStrongEncryption = 0x0040;
const mz_uint32 kDosDirectoryAttribute = 0x10;
const mz_uint16 kMethodStored = 0;
const mz_uint16 kMethodDeflate = 8;
// Deflate cannot expand more than 1032 to 1, so a larger claim is a lie.
const mz_uint64 kMaxDeflateRatio = 1032;
const size_t kInputChunk = 64 * 1024;
const size_t kOutputChunk = 256 * 1024;

mz_uint16 le16(const mz_uint8* p) {
    return static_cast<mz_uint16>(p[0] | p[1] << 8);
}

mz_uint32 le32(const mz_uint8* p) {
    return static_cast<mz_uint32>(p[0]) | static_cast<mz_uint32>(p[1]) << 8 |
           static_cast<mz_uint32>(p[2]) << 16 | static_cast<mz_uint32>(p[3]) << 24;
}

mz_uint64 le64(const mz_uint8* p) {
    return static_cast<mz_uint64>(le32(p)) | static_cast<mz_uint64>(le32(p + 4)) << 32;
}

// True when [ofs, ofs + len) lies within [0, size).
bool fits(mz_uint64 ofs, mz_uint64 len, mz_uint64 size) {
    return ofs <= size && len <= size - ofs;
}

bool read_at(FILE* file, mz_uint64 start, mz_uint64 ofs, void* buffer, size_t len) {
    const mz_uint64 position = start + ofs;
    if (position < start || position > static_cast<mz_uint64>(INT64_MAX)) {
        return false;
    }
    if (_fseeki64(file, static_cast<int64_t>(position), SEEK_SET) != 0) {
        return false;
    }
    return std::fread(buffer, 1, len, file) == len;
}

struct CentralDirectory {
    mz_uint64 entries;
    mz_uint64 size;
    mz_uint64 offset;
};

// Finds the end record, also behind an archive comment, and the ZIP64 record when the
// end record is preceded by its locator. `tail` holds the archive's last `tail_len` bytes.
bool find_central_directory(FILE* file, mz_uint64 start, mz_uint64 archive_size,
                            const mz_uint8* tail, size_t tail_len, CentralDirectory* out) {
    const mz_uint64 tail_start = archive_size - tail_len;
    // Prefer a record whose comment ends exactly at the end of the archive: a signature
    // inside a comment is then not mistaken for the record.
    size_t found = SIZE_MAX;
    for (size_t i = tail_len - kEndSize + 1; i-- > 0;) {
        if (le32(tail + i) != kEndSignature) {
            continue;
        }
        const size_t comment = le16(tail + i + 20);
        if (i + kEndSize + comment == tail_len) {
            found = i;
            break;
        }
        if (found == SIZE_MAX && i + kEndSize + comment <= tail_len) {
            found = i;
        }
    }
    if (found == SIZE_MAX) {
        return false;
    }
    const mz_uint8* end = tail + found;
    const mz_uint64 end_ofs = tail_start + found;
    if (le16(end + 4) != le16(end + 6) || le16(end + 8) != le16(end + 10)) {
        return false; // spans several disks
    }
    out->entries = le16(end + 10);
    out->size = le32(end + 12);
    out->offset = le32(end + 16);
    mz_uint64 limit = end_ofs; // the central directory ends before the end records

    mz_uint8 locator[kEnd64LocatorSize];
    if (end_ofs >= kEnd64LocatorSize &&
        read_at(file, start, end_ofs - kEnd64LocatorSize, locator, sizeof locator) &&
        le32(locator) == kEnd64LocatorSignature) {
        const mz_uint64 record_ofs = le64(locator + 8);
        mz_uint8 record[kEnd64Size];
        if (!fits(record_ofs, kEnd64Size, end_ofs - kEnd64LocatorSize) ||
            !read_at(file, start, record_ofs, record, sizeof record) ||
            le32(record) != kEnd64Signature || le32(locator + 4) != 0 ||
            le32(record + 16) != le32(record + 20) || le64(record + 24) != le64(record + 32)) {
            return false;
        }
        out->entries = le64(record + 32);
        out->size = le64(record + 40);
        out->offset = le64(record + 48);
        limit = record_ofs;
    }
    // The directory must end where the end records begin: records in a gap before them
    // would be entries that a reader of the count never sees.
    return out->offset <= limit && out->size == limit - out->offset &&
           out->entries <= out->size / kCentralSize && out->entries <= UINT32_MAX;
}

// An entry's central record, decoded; sizes and offset already widened from the ZIP64
// extra field where the record defers to it.
struct Record {
    const mz_uint8* p;
    mz_uint16 name_len;
    mz_uint16 extra_len;
    mz_uint16 comment_len;
    mz_uint64 comp_size;
    mz_uint64 uncomp_size;
    mz_uint64 local_ofs;
};

// Decodes the record at `ofs` within the central directory; false when it is damaged.
// `*next` receives the offset of the following record.
bool decode_record(const mz_zip_internal_state* state, mz_uint64 archive_size, size_t ofs,
                   Record* r, size_t* next) {
    if (!fits(ofs, kCentralSize, state->central_size)) {
        return false;
    }
    const mz_uint8* p = state->central + ofs;
    if (le32(p) != kCentralSignature) {
        return false;
    }
    r->p = p;
    r->name_len = le16(p + 28);
    r->extra_len = le16(p + 30);
    r->comment_len = le16(p + 32);
    const size_t total = kCentralSize + r->name_len + r->extra_len + r->comment_len;
    if (!fits(ofs, total, state->central_size)) {
        return false;
    }
    *next = ofs + total;
    r->comp_size = le32(p + 20);
    r->uncomp_size = le32(p + 24);
    r->local_ofs = le32(p + 42);
    mz_uint32 disk = le16(p + 34);

    const bool wide_uncomp = r->uncomp_size == 0xFFFFFFFF;
    const bool wide_comp = r->comp_size == 0xFFFFFFFF;
    const bool wide_ofs = r->local_ofs == 0xFFFFFFFF;
    const bool wide_disk = disk == 0xFFFF;
    if (wide_uncomp || wide_comp || wide_ofs || wide_disk) {
        const mz_uint8* extra = p + kCentralSize + r->name_len;
        const mz_uint8* extra_end = extra + r->extra_len;
        bool found = false;
        while (!found && extra_end - extra >= 4) {
            const mz_uint16 id = le16(extra);
            const size_t len = le16(extra + 2);
            extra += 4;
            if (static_cast<size_t>(extra_end - extra) < len) {
                return false;
            }
            if (id == kZip64ExtraId) {
                found = true;
                const mz_uint8* field = extra;
                const mz_uint8* field_end = extra + len;
                const auto take64 = [&](mz_uint64* value) {
                    if (field_end - field < 8) {
                        return false;
                    }
                    *value = le64(field);
                    field += 8;
                    return true;
                };
                if ((wide_uncomp && !take64(&r->uncomp_size)) ||
                    (wide_comp && !take64(&r->comp_size)) || (wide_ofs && !take64(&r->local_ofs))) {
                    return false;
                }
                if (wide_disk) {
                    if (field_end - field < 4) {
                        return false;
                    }
                    disk = le32(field);
                }
            }
            extra += len;
        }
        if (!found) {
            return false;
        }
    }
    // The header and the data checked one after the other: a size near 2^64 would wrap
    // their sum around to a small number.
    return disk == 0 && fits(r->local_ofs, kLocalSize, archive_size) &&
           fits(r->local_ofs + kLocalSize, r->comp_size, archive_size);
}

bool find_record(mz_zip_archive* zip, mz_uint index, Record* r) {
    if (zip == nullptr || zip->m_pState == nullptr || index >= zip->m_total_files) {
        return false;
    }
    size_t next = 0;
    return decode_record(zip->m_pState, zip->m_archive_size, zip->m_pState->record_ofs[index], r,
                         &next);
}

void release_state(mz_zip_internal_state* state) {
    std::free(state->central);
    std::free(state->record_ofs);
    std::free(state->data_limit);
    std::free(state->buffers);
    std::free(state);
}

struct Extent {
    mz_uint64 local_ofs;
    mz_uint32 index;
    bool operator<(const Extent& other) const { return local_ofs < other.local_ofs; }
};

// Sets each entry's data limit from the entries in archive order: the next local
// record or the central directory, whichever comes first. Entries sharing a local
// record, or placed at or after the central directory, get a limit no data can meet.
void set_data_limits(mz_zip_internal_state* state, Extent* extents, mz_uint32 count,
                     mz_uint64 central_ofs) {
    std::sort(extents, extents + count);
    for (mz_uint32 i = 0; i < count; ++i) {
        const mz_uint64 ofs = extents[i].local_ofs;
        const bool shared = i > 0 && extents[i - 1].local_ofs == ofs;
        mz_uint64 limit = i + 1 < count && extents[i + 1].local_ofs < central_ofs
                              ? extents[i + 1].local_ofs
                              : central_ofs;
        if (shared || ofs >= central_ofs) {
            limit = ofs;
        }
        state->data_limit[extents[i].index] = limit;
    }
}

// Passes pieces of an entry's bytes on, counting them and keeping their CRC-32.
struct Sink {
    mz_file_write_func write;
    void* opaque;
    mz_uint64 written;
    uLong crc;
};

bool pass_on(Sink* sink, const mz_uint8* data, size_t size) {
    if (size == 0) {
        return true;
    }
    // Checked while the piece is still in the cache; a piece, at most one chunk, fits a uInt.
    sink->crc = crc32(sink->crc, data, static_cast<uInt>(size));
    if (sink->write(sink->opaque, sink->written, data, size) != size) {
        return false;
    }
    sink->written += size;
    return true;
}

// Passes `size` stored bytes from the stream's position on through `chunk`.
bool stream_stored(FILE* file, mz_uint64 size, mz_uint8* chunk, Sink* sink) {
    for (mz_uint64 left = size; left > 0;) {
        const size_t piece = left < kOutputChunk ? static_cast<size_t>(left) : kOutputChunk;
        if (std::fread(chunk, 1, piece, file) != piece || !pass_on(sink, chunk, piece)) {
            return false;
        }
        left -= piece;
    }
    return true;
}

// Inflates `comp_size` bytes of raw deflate data from the stream's position, passing
// the output on a chunk at a time. True when the stream ends with exactly `uncomp_size`
// bytes; more output stops it as soon as it appears.
bool stream_deflated(FILE* file, mz_uint64 comp_size, mz_uint64 uncomp_size, mz_uint8* input,
                     mz_uint8* output, Sink* sink) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        return false;
    }
    mz_uint64 input_left = comp_size;
    bool ended = false;
    for (;;) {
        if (stream.avail_in == 0 && input_left > 0) {
            const size_t chunk =
                input_left < kInputChunk ? static_cast<size_t>(input_left) : kInputChunk;
            if (std::fread(input, 1, chunk, file) != chunk) {
                break;
            }
            input_left -= chunk;
            stream.next_in = input;
            stream.avail_in = static_cast<uInt>(chunk);
        }
        stream.next_out = output;
        stream.avail_out = static_cast<uInt>(kOutputChunk);
        const int status = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = kOutputChunk - stream.avail_out;
        if (sink->written + produced > uncomp_size || !pass_on(sink, output, produced)) {
            break;
        }
        if (status == Z_STREAM_END) {
            ended = true;
            break;
        }
        // With input refilled and room given above, anything but progress means
        // damaged data or input that ran out (truncated).
        if (status != Z_OK) {
            break;
        }
    }
    inflateEnd(&stream);
    return ended && sink->written == uncomp_size;
}

// An entry this reader can extract, with sizes that can be true.
bool readable(const Record& r) {
    if ((le16(r.p + 8) & (kFlagEncrypted | kFlagStrongEncryption)) != 0) {
        return false;
    }
    const mz_uint16 method = le16(r.p + 10);
    if (method == kMethodStored) {
        return r.comp_size == r.uncomp_size;
    }
    return method == kMethodDeflate && (r.comp_size >= UINT64_MAX / kMaxDeflateRatio ||
                                        r.uncomp_size <= r.comp_size * kMaxDeflateRatio + 1024);
}

// Finds where the entry's data starts, from its local record, and checks what can be
// checked without reading the data: the entry is readable, and its local record, local
// name and extra field, and data lie before its data limit.
bool locate_data(mz_zip_internal_state* state, mz_uint index, const Record& r,
                 mz_uint64* data_ofs) {
    mz_uint8 local[kLocalSize];
    if (!readable(r) || !read_at(state->file, state->start, r.local_ofs, local, sizeof local) ||
        le32(local) != kLocalSignature) {
        return false;
    }
    // No wrap: the record fitted the archive, and the lengths are 16 bits each.
    *data_ofs = r.local_ofs + kLocalSize + le16(local + 26) + le16(local + 28);
    return fits(*data_ofs, r.comp_size, state->data_limit[index]);
}

size_t discard(void*, mz_uint64, const void*, size_t size) {
    return size;
}

} // namespace

mz_bool mz_zip_reader_init_cfile(mz_zip_archive* pZip, FILE* pFile, mz_uint64 archive_size,
                                 mz_uint flags) {
    if (pZip == nullptr || pFile == nullptr || pZip->m_pState != nullptr || flags != 0) {
        return MZ_FALSE;
    }
    const int64_t start = _ftelli64(pFile);
    if (start < 0) {
        return MZ_FALSE;
    }
    if (archive_size == 0) {
        if (_fseeki64(pFile, 0, SEEK_END) != 0) {
            return MZ_FALSE;
        }
        const int64_t end = _ftelli64(pFile);
        if (end < start) {
            return MZ_FALSE;
        }
        archive_size = static_cast<mz_uint64>(end - start);
    }
    if (archive_size < kEndSize) {
        return MZ_FALSE;
    }

    const size_t tail_len = archive_size < kEndSize + kMaxCommentSize
                                ? static_cast<size_t>(archive_size)
                                : kEndSize + kMaxCommentSize;
    mz_uint8* tail = static_cast<mz_uint8*>(std::malloc(tail_len));
    if (tail == nullptr) {
        return MZ_FALSE;
    }
    CentralDirectory directory;
    const bool located =
        read_at(pFile, static_cast<mz_uint64>(start), archive_size - tail_len, tail, tail_len) &&
        find_central_directory(pFile, static_cast<mz_uint64>(start), archive_size, tail, tail_len,
                               &directory);
    std::free(tail);
    if (!located || directory.size > SIZE_MAX) {
        return MZ_FALSE;
    }

    mz_zip_internal_state* state =
        static_cast<mz_zip_internal_state*>(std::calloc(1, sizeof(mz_zip_internal_state)));
    if (state == nullptr) {
        return MZ_FALSE;
    }
    state->file = pFile;
    state->start = static_cast<mz_uint64>(start);
    state->central_size = directory.size;
    state->central = static_cast<mz_uint8*>(std::malloc(directory.size ? directory.size : 1));
    const size_t count = static_cast<size_t>(directory.entries);
    state->record_ofs = static_cast<size_t*>(std::malloc(count ? count * sizeof(size_t) : 1));
    state->data_limit = static_cast<mz_uint64*>(std::malloc(count ? count * sizeof(mz_uint64) : 1));
    Extent* extents = static_cast<Extent*>(std::malloc(count ? count * sizeof(Extent) : 1));
    bool valid = state->central != nullptr && state->record_ofs != nullptr &&
                 state->data_limit != nullptr && extents != nullptr &&
                 read_at(pFile, state->start, directory.offset, state->central, directory.size);
    size_t ofs = 0;
    for (mz_uint32 i = 0; valid && i < count; ++i) {
        Record record;
        state->record_ofs[i] = ofs;
        valid = decode_record(state, archive_size, ofs, &record, &ofs);
        extents[i] = {valid ? record.local_ofs : 0, i};
    }
    // Records beyond the count would be entries no reader of the count sees.
    valid = valid && ofs == directory.size;
    if (valid) {
        set_data_limits(state, extents, static_cast<mz_uint32>(count), directory.offset);
    }
    std::free(extents);
    if (!valid) {
        release_state(state);
        return MZ_FALSE;
    }
    pZip->m_archive_size = archive_size;
    pZip->m_central_directory_file_ofs = directory.offset;
    pZip->m_total_files = static_cast<mz_uint32>(directory.entries);
    pZip->m_pState = state;
    return MZ_TRUE;
}

mz_uint mz_zip_reader_get_num_files(mz_zip_archive* pZip) {
    return pZip != nullptr && pZip->m_pState != nullptr ? pZip->m_total_files : 0;
}

mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index,
                                mz_zip_archive_file_stat* pStat) {
    Record r;
    if (pStat == nullptr || !find_record(pZip, file_index, &r) ||
        r.name_len >= MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE ||
        r.comment_len >= MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE) {
        return MZ_FALSE;
    }
    const mz_uint8* p = r.p;
    pStat->m_file_index = file_index;
    pStat->m_central_dir_ofs =
        pZip->m_central_directory_file_ofs + static_cast<mz_uint64>(p - pZip->m_pState->central);
    pStat->m_version_made_by = le16(p + 4);
    pStat->m_version_needed = le16(p + 6);
    pStat->m_bit_flag = le16(p + 8);
    pStat->m_method = le16(p + 10);
    pStat->m_crc32 = le32(p + 16);
    pStat->m_comp_size = r.comp_size;
    pStat->m_uncomp_size = r.uncomp_size;
    pStat->m_internal_attr = le16(p + 36);
    pStat->m_external_attr = le32(p + 38);
    pStat->m_local_header_ofs = r.local_ofs;
    pStat->m_comment_size = r.comment_len;
    pStat->m_is_directory = mz_zip_reader_is_file_a_directory(pZip, file_index);
    pStat->m_is_encrypted = (pStat->m_bit_flag & (kFlagEncrypted | kFlagStrongEncryption)) != 0;
    pStat->m_is_supported = !pStat->m_is_encrypted &&
                            (pStat->m_method == kMethodStored || pStat->m_method == kMethodDeflate);
    std::memcpy(pStat->m_filename, p + kCentralSize, r.name_len);
    pStat->m_filename[r.name_len] = '\0';
    std::memcpy(pStat->m_comment, p + kCentralSize + r.name_len + r.extra_len, r.comment_len);
    pStat->m_comment[r.comment_len] = '\0';
    return MZ_TRUE;
}

mz_bool mz_zip_reader_is_file_a_directory(mz_zip_archive* pZip, mz_uint file_index) {
    Record r;
    if (!find_record(pZip, file_index, &r)) {
        return MZ_FALSE;
    }
    const bool slash_last = r.name_len > 0 && r.p[kCentralSize + r.name_len - 1] == '/';
    return slash_last || (le32(r.p + 38) & kDosDirectoryAttribute) != 0;
}

mz_uint mz_zip_reader_get_filename(mz_zip_archive* pZip, mz_uint file_index, char* pFilename,
                                   mz_uint filename_buf_size) {
    Record r;
    if (!find_record(pZip, file_index, &r)) {
        if (filename_buf_size > 0) {
            pFilename[0] = '\0';
        }
        return 0;
    }
    if (filename_buf_size > 0) {
        const mz_uint copied =
            r.name_len < filename_buf_size - 1 ? r.name_len : filename_buf_size - 1;
        std::memcpy(pFilename, r.p + kCentralSize, copied);
        pFilename[copied] = '\0';
    }
    return static_cast<mz_uint>(r.name_len) + 1;
}

mz_bool mz_zip_validate_file(mz_zip_archive* pZip, mz_uint file_index, mz_uint flags) {
    Record r;
    mz_uint64 data_ofs = 0;
    if ((flags & ~static_cast<mz_uint>(MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY)) != 0 ||
        !find_record(pZip, file_index, &r) ||
        !locate_data(pZip->m_pState, file_index, r, &data_ofs)) {
        return MZ_FALSE;
    }
    if ((flags & MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY) != 0) {
        return MZ_TRUE;
    }
    return mz_zip_reader_extract_to_callback(pZip, file_index, discard, nullptr, 0);
}

mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index,
                                          mz_file_write_func pCallback, void* pOpaque,
                                          mz_uint flags) {
    Record r;
    mz_uint64 data_ofs = 0;
    if (pCallback == nullptr || flags != 0 || !find_record(pZip, file_index, &r)) {
        return MZ_FALSE;
    }
    // Checked again here, though extraction validates every entry first: the local
    // record must be read anyway to find the data, and the check costs nothing more.
    mz_zip_internal_state* state = pZip->m_pState;
    if (!locate_data(state, file_index, r, &data_ofs) ||
        _fseeki64(state->file, static_cast<int64_t>(state->start + data_ofs), SEEK_SET) != 0) {
        return MZ_FALSE;
    }
    const mz_uint16 method = le16(r.p + 10);
    if (state->buffers == nullptr) {
        state->buffers = static_cast<mz_uint8*>(std::malloc(kInputChunk + kOutputChunk));
        if (state->buffers == nullptr) {
            return MZ_FALSE;
        }
    }
    Sink sink = {pCallback, pOpaque, 0, crc32(0L, Z_NULL, 0)};
    mz_uint8* const output = state->buffers + kInputChunk;
    const bool read = method == kMethodStored
                          ? stream_stored(state->file, r.comp_size, output, &sink)
                          : stream_deflated(state->file, r.comp_size, r.uncomp_size, state->buffers,
                                            output, &sink);
    return read && sink.crc == le32(r.p + 16);
}

mz_bool mz_zip_reader_end(mz_zip_archive* pZip) {
    if (pZip == nullptr || pZip->m_pState == nullptr) {
        return MZ_FALSE;
    }
    release_state(pZip->m_pState);
    pZip->m_pState = nullptr;
    pZip->m_total_files = 0;
    return MZ_TRUE;
}
