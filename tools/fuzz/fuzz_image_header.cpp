// A file's bytes after a first byte that sets the size of the pieces they are fed in:
// fed whole, in those pieces, or read where the DOS header points, the verdict is one,
// and it is the plain reading of the rule.
#include "package/image_header.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool by_the_rule(const uint8_t* file, size_t size) {
    if (size < 64 || file[0] != 'M' || file[1] != 'Z') {
        return false;
    }
    uint64_t at = 0;
    std::memcpy(&at, file + 0x3C, 4); // little-endian here, as on Windows
    return at + 4 <= size && std::memcmp(file + at, "PE\0\0", 4) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = data[0] + 1u;
    const uint8_t* file = data + 1;
    const size_t length = size - 1;
    ImageHeader whole = {}, pieces = {}, read = {};
    image_header_feed(whole, 0, file, length);
    for (size_t at = 0; at < length; at += piece) {
        image_header_feed(pieces, at, file + at, std::min(piece, length - at));
    }
    image_header_feed(read, 0, file, std::min<size_t>(length, 64));
    uint64_t at = 0;
    if (image_header_pe_offset(read, at) && at + 4 <= length) {
        image_header_feed(read, at, file + at, 4);
    }
    const bool expected = by_the_rule(file, length);
    if (image_header_is_image(whole) != expected || image_header_is_image(pieces) != expected ||
        image_header_is_image(read) != expected) {
        std::abort();
    }
    return 0;
}
