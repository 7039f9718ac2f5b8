// Telling a program image by its first bytes, as they are read or written.
#pragma once

#include <cstddef>
#include <cstdint>

// What has been seen of a file's bytes so far, fed in order from its start (later
// pieces may be fed again or skipped). Value-initialise it before the first piece.
struct ImageHeader {
    unsigned char dos[64]; // the DOS header, as far as seen
    uint64_t dos_seen;
    unsigned char pe[4]; // the PE signature's bytes past the DOS header, as seen
    unsigned pe_seen;    // one bit for each of those
};

// Notes what of the DOS header and of the PE signature `size` bytes at `data`, which
// are the file's from `offset` on, hold. Never fails.
void image_header_feed(ImageHeader& header, uint64_t offset, const unsigned char* data,
                       size_t size);

// Where the PE signature is to be found: once the whole DOS header has been seen and
// starts with "MZ", the offset its last four bytes name (little-endian), and true;
// false before, or for a file that does not start so.
bool image_header_pe_offset(const ImageHeader& header, uint64_t& offset);

// Whether the bytes seen make the file a program image: "MZ", and "PE\0\0" at the offset
// the DOS header names. Windows loads nothing else as a program, whatever its name.
// False as long as any of those bytes is unseen, so a file that ends before them is no
// image.
bool image_header_is_image(const ImageHeader& header);
