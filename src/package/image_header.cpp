#include "package/image_header.h"

#include <algorithm>
#include <cstring>

namespace {

const uint64_t kDosHeaderSize = sizeof ImageHeader::dos;
const uint64_t kPeOffsetAt = 0x3C;
const unsigned char kPeSignature[4] = {'P', 'E', 0, 0};

} // namespace

void image_header_feed(ImageHeader& header, uint64_t offset, const unsigned char* data,
                       size_t size) {
    const uint64_t end = offset + size;
    if (offset <= header.dos_seen && header.dos_seen < kDosHeaderSize && end > header.dos_seen) {
        const uint64_t upto = std::min(end, kDosHeaderSize);
        std::memcpy(header.dos + header.dos_seen, data + (header.dos_seen - offset),
                    static_cast<size_t>(upto - header.dos_seen));
        header.dos_seen = upto;
    }
    // Only now can the signature's place be known; bytes of it within the DOS header are
    // read from there, so that a piece passed before the header was whole loses nothing.
    uint64_t at = 0;
    if (!image_header_pe_offset(header, at)) {
        return;
    }
    const uint64_t from = std::max({offset, at, kDosHeaderSize});
    for (uint64_t i = from; i < end && i < at + sizeof kPeSignature; ++i) {
        header.pe[i - at] = data[i - offset];
        header.pe_seen |= 1u << (i - at);
    }
}

bool image_header_pe_offset(const ImageHeader& header, uint64_t& offset) {
    if (header.dos_seen < kDosHeaderSize || header.dos[0] != 'M' || header.dos[1] != 'Z') {
        return false;
    }
    offset = 0;
    for (uint64_t i = kDosHeaderSize; i > kPeOffsetAt; --i) {
        offset = offset << 8 | header.dos[i - 1];
    }
    return true;
}

bool image_header_is_image(const ImageHeader& header) {
    uint64_t at = 0;
    if (!image_header_pe_offset(header, at)) {
        return false;
    }
    for (uint64_t i = 0; i < sizeof kPeSignature; ++i) {
        const uint64_t place = at + i;
        const bool seen = place < kDosHeaderSize || (header.pe_seen & 1u << i) != 0;
        const unsigned char byte = place < kDosHeaderSize ? header.dos[place] : header.pe[i];
        if (!seen || byte != kPeSignature[i]) {
            return false;
        }
    }
    return true;
}
