#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The CRC a bit at a time, as the zip format defines it.
uint32_t reference_crc(const std::string& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        c ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
    }
    return ~c;
}

uLong crc_of(const std::string& bytes, uLong crc = 0) {
    return crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()),
                 static_cast<uInt>(bytes.size()));
}

TEST(Crc32, TheCheckValueAndTheStartValue) {
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of(""), 0u);
    EXPECT_EQ(crc32(12345, Z_NULL, 0), 0u);
}

// Every length around the eight-byte steps, at every alignment, and pieces of any size
// carried on from one call to the next.
TEST(Crc32, AnyLengthAlignmentAndPieces) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes += static_cast<char>((i * 131 + 7) % 256);
    }
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length = 0; length + start <= 40; ++length) {
            const std::string piece = bytes.substr(start, length);
            EXPECT_EQ(crc_of(piece), reference_crc(piece)) << start << " " << length;
        }
    }
    for (size_t split : {1u, 7u, 8u, 9u, 150u, 299u}) {
        EXPECT_EQ(crc_of(bytes.substr(split), crc_of(bytes.substr(0, split))), reference_crc(bytes))
            << split;
    }
}

} // namespace
