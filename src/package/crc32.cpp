// The CRC-32 of zip entries, in place of zlib's: zlib's brings 12.8 KiB of precomputed
// tables and variants (combining, other widths) this program never uses, while these
// tables are made at the first call, in 8 KiB of the heap that cost the file nothing
// (a zeroed array would: this compiler stores such arrays in the file once their
// sections are split). The linker takes this definition first, for the archive readers and for
// zlib's own inflate alike, and leaves zlib's out. Eight bytes a step, as zlib does, so
// that checking an entry stays far quicker than writing it to the disk.
#include <zlib.h>

#include <windows.h>

#include <cstdint>

namespace {

using Tables = uint32_t[8][256];
Tables* made = nullptr; // null while none could be made: then a byte at a time, bit by bit
INIT_ONCE tables_made = INIT_ONCE_STATIC_INIT;

// The CRC register `c` with its low byte shifted out, a bit at a time.
uint32_t crc_of_byte(uint32_t c) {
    for (int bit = 0; bit < 8; ++bit) {
        c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c;
}

BOOL CALLBACK make_tables(INIT_ONCE*, void*, void**) {
    made = static_cast<Tables*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Tables)));
    if (made == nullptr) {
        return TRUE;
    }
    Tables& tables = *made;
    for (uint32_t byte = 0; byte < 256; ++byte) {
        tables[0][byte] = crc_of_byte(byte);
    }
    // tables[k][b]: the CRC of byte b followed by k zero bytes.
    for (int k = 1; k < 8; ++k) {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            const uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return TRUE;
}

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

extern "C" uLong ZEXPORT crc32(uLong crc, const Bytef* buf, uInt len) {
    if (buf == Z_NULL) {
        return 0;
    }
    InitOnceExecuteOnce(&tables_made, make_tables, nullptr, nullptr);
    uint32_t c = ~static_cast<uint32_t>(crc);
    const unsigned char* p = buf;
    if (made == nullptr) {
        for (; len > 0; --len, ++p) {
            c = crc_of_byte(c ^ *p);
        }
        return ~c;
    }
    const Tables& tables = *made;
    for (; len >= 8; len -= 8, p += 8) {
        const uint32_t low = load_le32(p) ^ c;
        const uint32_t high = load_le32(p + 4);
        c = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
            tables[4][low >> 24] ^ tables[3][high & 0xFF] ^ tables[2][(high >> 8) & 0xFF] ^
            tables[1][(high >> 16) & 0xFF] ^ tables[0][high >> 24];
    }
    for (; len > 0; --len, ++p) {
        c = (c >> 8) ^ tables[0][(c ^ *p) & 0xFF];
    }
    return ~c;
}
