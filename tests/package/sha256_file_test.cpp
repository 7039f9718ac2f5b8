#include "package/sha256_file.h"
#include "package/zip_fixtures.h"

#include <gtest/gtest.h>

namespace {

TEST(Sha256File, GivesTheKnownLowercaseDigests) {
    ScratchDir scratch(L"sha");
    std::string hex;
    ASSERT_TRUE(write_file(scratch / L"empty", ""));
    ASSERT_TRUE(sha256_file(scratch / L"empty", hex));
    EXPECT_EQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    ASSERT_TRUE(write_file(scratch / L"abc", "abc"));
    ASSERT_TRUE(sha256_file(scratch / L"abc", hex));
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // Many buffers long; the reference digest comes from Python's hashlib.
    ASSERT_TRUE(sha256_file(zip_fixture(L"content\\data\\big.bin"), hex));
    EXPECT_EQ(hex, read_file(zip_fixture(L"big.bin.sha256")));
}

TEST(Sha256File, FailsWithEmptyTextWhenTheFileCannotBeRead) {
    ScratchDir scratch(L"sha");
    std::string hex = "stale";
    EXPECT_FALSE(sha256_file(scratch / L"missing", hex));
    EXPECT_EQ(hex, "");
    hex = "stale";
    EXPECT_FALSE(sha256_file(scratch.path, hex));
    EXPECT_EQ(hex, "");
}

} // namespace
