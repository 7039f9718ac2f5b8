#include "package/sha256_blocks.h"
#include "package/sha256_stream.h"
#include "state/cng.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The digest of `data` added `piece` bytes at a time, with an empty piece between each.
std::string stream_digest(const std::vector<unsigned char>& data, size_t piece) {
    Sha256Stream stream;
    std::string hex;
    bool ok = sha256_stream_open(stream);
    for (size_t at = 0; ok && at < data.size(); at += piece) {
        const size_t size = data.size() - at < piece ? data.size() - at : piece;
        ok = sha256_stream_add(stream, data.data() + at, size) &&
             sha256_stream_add(stream, data.data(), 0);
    }
    ok = ok && sha256_stream_finish(stream, hex);
    sha256_stream_close(stream);
    return ok ? hex : "failed";
}

std::string cng_digest(const std::vector<unsigned char>& data) {
    unsigned char digest[kSha256Size];
    return cng_sha256(data.data(), data.size(), digest) ? sha256_hex(digest) : "cng failed";
}

// Whichever way the stream hashes on this processor (its SHA instructions, else CNG), it
// must agree with CNG's one-shot digest at every length about the padding's boundaries,
// however the bytes are cut into pieces.
TEST(Sha256Stream, AgreesWithCngAtEveryLengthAndCut) {
    std::printf("hashing with %s\n", sha256_blocks_available() ? "SHA instructions" : "CNG");
    std::vector<unsigned char> data;
    uint32_t seed = 12345;
    for (size_t length = 0; length <= 300; ++length) {
        const std::string expected = cng_digest(data);
        for (size_t piece :
             {size_t{1}, size_t{7}, size_t{63}, size_t{64}, size_t{65}, length + 1}) {
            ASSERT_EQ(stream_digest(data, piece), expected) << length << " bytes by " << piece;
        }
        seed = seed * 1103515245 + 12345;
        data.push_back(static_cast<unsigned char>(seed >> 16));
    }
    data.resize(3 * 1024 * 1024 + 17, 0xA5);
    EXPECT_EQ(stream_digest(data, 1 << 20), cng_digest(data));
    EXPECT_EQ(stream_digest(data, 4093), cng_digest(data));
}

TEST(Sha256Stream, GivesTheStandardsVectors) {
    const struct {
        std::string text;
        size_t repeat;
        const char* digest;
    } vectors[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& vector : vectors) {
        std::vector<unsigned char> data;
        for (size_t i = 0; i < vector.repeat; ++i) {
            data.insert(data.end(), vector.text.begin(), vector.text.end());
        }
        EXPECT_EQ(stream_digest(data, 1000), vector.digest) << vector.text;
    }
}

} // namespace
