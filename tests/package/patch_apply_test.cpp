#include "package/patch_apply.h"
#include "package/sha256_file.h"

#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Files and patches that make_patches.py writes before the package tests run.
std::wstring patch_fixture(const std::wstring& name) {
    return bin_dir() + L"\\..\\patch-fixtures\\" + name;
}

const uint64_t kSizeOfExpected = ~0ull;

struct Case {
    const wchar_t* label;
    const wchar_t* base;
    const wchar_t* patch;
    const wchar_t* expected; // the file the result must equal; null for a failure
    uint64_t out_size;       // kSizeOfExpected: the expected file's size
    int size_shift;          // added to out_size
    const wchar_t* error;    // the whole error text, or its start when it names a path
};

const Case kCases[] = {
    {L"small change in the middle", L"base.bin", L"mid.patch", L"mid.new", kSizeOfExpected, 0, L""},
    {L"file grows", L"base.bin", L"grow.patch", L"grow.new", kSizeOfExpected, 0, L""},
    {L"file shrinks", L"base.bin", L"shrink.patch", L"shrink.new", kSizeOfExpected, 0, L""},
    {L"frame without size", L"base.bin", L"mid-nosize.patch", L"mid.new", kSizeOfExpected, 0, L""},
    {L"window of 2 GiB", L"base.bin", L"window31.patch", L"mid.new", kSizeOfExpected, 0, L""},
    {L"empty base", L"empty.bin", L"from-empty.patch", L"text.new", kSizeOfExpected, 0, L""},
    {L"empty result", L"base.bin", L"to-empty.patch", L"empty.bin", kSizeOfExpected, 0, L""},
    // The frame's checksum catches another base of the same size.
    {L"wrong base", L"other.bin", L"mid.patch", nullptr, 1000000, 0, L"patch does not decode"},
    {L"wrong base, empty", L"empty.bin", L"mid.patch", nullptr, 1000000, 0,
     L"patch does not decode"},
    {L"truncated", L"base.bin", L"truncated.patch", nullptr, 1000000, 0, L"patch does not decode"},
    {L"two frames", L"base.bin", L"twice.patch", nullptr, 1000000, 0, L"patch does not decode"},
    {L"garbage", L"base.bin", L"garbage.patch", nullptr, 1000000, 0, L"patch does not decode"},
    {L"window of 4 GiB", L"base.bin", L"window32.patch", nullptr, 1000000, 0,
     L"patch does not decode"},
    {L"declared size larger", L"base.bin", L"mid.patch", nullptr, kSizeOfExpected, 1,
     L"patch result has the wrong size"},
    {L"declared size smaller", L"base.bin", L"mid.patch", nullptr, kSizeOfExpected, -1,
     L"patch result has the wrong size"},
    {L"decodes to fewer bytes", L"base.bin", L"mid-nosize.patch", nullptr, 1000000, 1,
     L"patch result has the wrong size"},
    {L"decodes to more bytes", L"base.bin", L"mid-nosize.patch", nullptr, 1000000, -1,
     L"patch result has the wrong size"},
    {L"empty result expected", L"base.bin", L"mid.patch", nullptr, 0, 0,
     L"patch result has the wrong size"},
    {L"missing base", L"no-such.bin", L"mid.patch", nullptr, 1000000, 0, L"cannot read "},
    {L"base is a folder", L".", L"mid.patch", nullptr, 1000000, 0, L"cannot read "},
};

TEST(PatchApply, RebuildsExactlyTheNewFileOrLeavesNothing) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "case: " << c.label);
        ScratchDir scratch(L"patch");
        const std::wstring out = scratch / L"result.bin";
        const std::string patch = read_file(patch_fixture(c.patch));
        ASSERT_FALSE(patch.empty());
        std::string expected;
        uint64_t out_size = c.out_size;
        if (c.expected != nullptr || out_size == kSizeOfExpected) {
            bool exists = false;
            expected =
                read_file(patch_fixture(c.expected != nullptr ? c.expected : L"mid.new"), &exists);
            ASSERT_TRUE(exists);
            if (out_size == kSizeOfExpected) {
                out_size = expected.size();
            }
        }
        out_size += static_cast<uint64_t>(static_cast<int64_t>(c.size_shift));

        std::wstring error = L"stale";
        const std::wstring base = patch_fixture(c.base);
        std::string digest = "stale";
        const bool applied =
            patch_apply(base, patch.data(), patch.size(), out, out_size, digest, error);

        bool exists = false;
        const std::string result = read_file(out, &exists);
        if (c.expected != nullptr) {
            EXPECT_TRUE(applied);
            EXPECT_EQ(error, L"stale"); // untouched on success
            EXPECT_TRUE(exists);
            EXPECT_EQ(result.size(), out_size);
            EXPECT_TRUE(result == expected);
            std::string digest_read;
            EXPECT_TRUE(sha256_file(out, digest_read));
            EXPECT_EQ(digest, digest_read);
        } else {
            EXPECT_EQ(digest, "");
            EXPECT_FALSE(applied);
            EXPECT_FALSE(exists);
            EXPECT_EQ(dir_entry_count(scratch.path), 0);
            const std::wstring wanted = c.error;
            if (wanted == L"cannot read ") {
                EXPECT_EQ(error, wanted + base);
            } else {
                EXPECT_EQ(error, wanted);
            }
        }
        // The base is never changed, and can be opened for writing again: nothing of it
        // is still held.
        if (c.base == std::wstring(L"base.bin")) {
            const HANDLE file = CreateFileW(base.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_NE(file, INVALID_HANDLE_VALUE);
            CloseHandle(file);
        }
    }
    EXPECT_EQ(read_file(patch_fixture(L"base.bin")).size(), 1000000u);
}

// Without a checksum in the frame, another base gives other bytes of the right size:
// only the digest the caller checks tells them apart.
TEST(PatchApply, GivesOtherBytesForAnotherBaseWhenTheFrameHasNoChecksum) {
    ScratchDir scratch(L"patch");
    const std::string patch = read_file(patch_fixture(L"mid-nocheck.patch"));
    const std::string expected = read_file(patch_fixture(L"mid.new"));
    std::wstring error;
    std::string right, wrong_digest;
    ASSERT_TRUE(patch_apply(patch_fixture(L"base.bin"), patch.data(), patch.size(),
                            scratch / L"right.bin", expected.size(), right, error));
    EXPECT_TRUE(read_file(scratch / L"right.bin") == expected);
    ASSERT_TRUE(patch_apply(patch_fixture(L"other.bin"), patch.data(), patch.size(),
                            scratch / L"wrong.bin", expected.size(), wrong_digest, error));
    const std::string wrong = read_file(scratch / L"wrong.bin");
    EXPECT_EQ(wrong.size(), expected.size());
    EXPECT_FALSE(wrong == expected);
    EXPECT_NE(right, wrong_digest);
}

TEST(PatchApply, NeverWritesOutsideANewFileOfItsOwn) {
    ScratchDir scratch(L"patch");
    const std::string patch = read_file(patch_fixture(L"mid.patch"));
    const std::wstring base = patch_fixture(L"base.bin");
    std::wstring error;
    std::string digest;

    // A folder that does not exist is not made.
    const std::wstring missing = scratch / L"missing\\result.bin";
    EXPECT_FALSE(patch_apply(base, patch.data(), patch.size(), missing, 1000000, digest, error));
    EXPECT_EQ(error, L"cannot write " + missing);
    EXPECT_EQ(dir_entry_count(scratch.path), 0);

    // A file already there is left as it was.
    const std::wstring there = scratch / L"there.bin";
    ASSERT_TRUE(write_file(there, "keep me"));
    EXPECT_FALSE(patch_apply(base, patch.data(), patch.size(), there, 1000000, digest, error));
    EXPECT_EQ(error, L"cannot write " + there);
    EXPECT_EQ(read_file(there), "keep me");

    // Nor is the base written over when named as the result.
    EXPECT_FALSE(patch_apply(base, patch.data(), patch.size(), base, 1000000, digest, error));
    EXPECT_EQ(error, L"cannot write " + base);
    EXPECT_EQ(read_file(base).size(), 1000000u);
}

} // namespace
