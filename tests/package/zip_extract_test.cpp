#include "package/zip_extract.h"
#include "package/zip_fixtures.h"
#include "state/paths.h"

#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>

namespace {

std::wstring extract_error(const std::wstring& archive, const std::wstring& dest) {
    std::wstring error;
    return zip_extract(zip_fixture(archive), dest, error) ? L"" : error;
}

class ProducedArchive : public testing::TestWithParam<const wchar_t*> {};

// Each holds the fixtures' content tree, made by another producer or in another form.
TEST_P(ProducedArchive, ExtractsToTheTreeItWasMadeFrom) {
    ScratchDir scratch(L"zip");
    const std::wstring dest = scratch / L"out";
    ASSERT_EQ(extract_error(GetParam(), dest), L"");

    const std::wstring content = zip_fixture(L"content");
    const std::vector<std::wstring> expected = list_tree(content);
    ASSERT_EQ(list_tree(dest), expected);
    for (const std::wstring& rel : expected) {
        if (rel.back() != L'\\') {
            EXPECT_EQ(read_file(dest + L"\\" + rel), read_file(content + L"\\" + rel));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Producers, ProducedArchive,
                         testing::Values(L"py-stored.zip", L"py-deflated.zip", L"py-streamed.zip",
                                         L"py-comment.zip", L"py-zip64.zip", L"infozip.zip",
                                         L"infozip-streamed.zip", L"infozip-zip64.zip",
                                         L"infozip-comment.zip", L"backslash.zip"));

TEST(ZipExtract, SkipsUnsafeNamesSilentlyAndWritesTheRest) {
    ScratchDir scratch(L"zip");
    const std::wstring dest = scratch / L"out";
    ASSERT_EQ(extract_error(L"unsafe.zip", dest), L"");

    // Nothing landed beside `dest`, on an aliased name, or at a drive's top.
    std::vector<std::wstring> expected = {L"out\\",          L"out\\..hidden",    L"out\\CONOUTX",
                                          L"out\\a\\",       L"out\\a\\b.txt",    L"out\\a\\c.txt",
                                          L"out\\com10.txt", L"out\\console.txt", L"out\\dot.txt",
                                          L"out\\lpt.txt",   L"out\\nul_not.txt", L"out\\x..y.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_tree(scratch.path), expected);
    EXPECT_EQ(read_file(dest + L"\\a\\c.txt"), "a//c.txt");
    EXPECT_FALSE(file_exists(L"C:\\drive.txt"));
    EXPECT_FALSE(file_exists(L"\\rooted.txt"));
}

TEST(ZipExtract, ListsTheProgramImagesByTheirBytesWhateverTheirNames) {
    std::vector<std::wstring> expected;
    const std::string listed = read_file(zip_fixture(L"images.txt"));
    for (size_t begin = 0, end; (end = listed.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        expected.push_back(std::wstring(listed.begin() + begin, listed.begin() + end));
    }
    ASSERT_GE(expected.size(), 5u);
    for (const wchar_t* archive : {L"images-stored.zip", L"images-deflated.zip"}) {
        ScratchDir scratch(L"zip");
        std::vector<std::wstring> images = {L"left over"};
        std::wstring error;
        ASSERT_TRUE(
            zip_extract_listing_images(zip_fixture(archive), scratch / L"out", images, error))
            << error;
        std::sort(images.begin(), images.end());
        EXPECT_EQ(images, expected) << archive;
        EXPECT_EQ(list_tree(scratch / L"out"), list_tree(zip_fixture(L"images")));
    }
    // A failed extraction lists nothing, though it wrote the entries before the damage.
    ScratchDir scratch(L"zip");
    std::vector<std::wstring> images = {L"left over"};
    std::wstring error;
    EXPECT_FALSE(
        zip_extract_listing_images(zip_fixture(L"bad-data.zip"), scratch / L"out", images, error));
    EXPECT_EQ(images, std::vector<std::wstring>{});
}

TEST(ZipExtract, EmptyArchiveLeavesJustTheDestination) {
    ScratchDir scratch(L"zip");
    ASSERT_EQ(extract_error(L"empty.zip", scratch / L"out"), L"");
    EXPECT_TRUE(is_directory(scratch / L"out"));
    EXPECT_EQ(dir_entry_count(scratch / L"out"), 0);
}

TEST(ZipExtract, RefusesWhatIsNoArchiveBeforeCreatingAnything) {
    ScratchDir scratch(L"zip");
    EXPECT_EQ(extract_error(L"missing.zip", scratch / L"out"), L"cannot open package");
    EXPECT_EQ(extract_error(L"not-a-zip.zip", scratch / L"out"), L"package is not a valid zip");
    EXPECT_EQ(extract_error(L"content\\docs\\readme.txt", scratch / L"out"),
              L"package is not a valid zip");
    EXPECT_EQ(dir_entry_count(scratch.path), 0);
}

TEST(ZipExtract, EntryThatCannotBeReadFailsBeforeAnythingOrAfterTheEntriesBeforeIt) {
    ScratchDir scratch(L"zip");
    const std::wstring dest = scratch / L"out";
    // The second's CRC-32 fails once all of it is written: its file goes again. Only
    // inflating shows such damage, so the first stays, for the caller to remove.
    EXPECT_EQ(extract_error(L"bad-data.zip", dest), L"package extraction failed");
    EXPECT_EQ(list_tree(dest), std::vector<std::wstring>{L"first.txt"});

    // Encrypted, another method, a size no deflate stream can reach, a name too long:
    // the records tell, so not even the destination is made.
    for (const wchar_t* archive :
         {L"encrypted.zip", L"bzip2.zip", L"lying-size.zip", L"long-name.zip"}) {
        ScratchDir other(L"zip");
        EXPECT_EQ(extract_error(archive, other / L"out"), L"package extraction failed") << archive;
        EXPECT_EQ(dir_entry_count(other.path), 0) << archive;
    }
}

// Archives made to write more, or elsewhere, than their entries hold: each is refused
// or taken for what it truly holds. A refused one leaves nothing at all, whichever
// entries the extraction threads would have reached first.
TEST(ZipExtract, HostileArchivesAreRefusedOrTakenForWhatTheyHold) {
    const std::wstring failed = L"package extraction failed";
    const struct {
        const wchar_t* archive;
        std::wstring error;
        std::vector<std::wstring> tree;
    } cases[] = {
        {L"overlapping.zip", failed, {}}, // twenty entries on one entry's data
        {L"nested.zip", failed, {}},      // an entry within another's data
        {L"nul-name.zip", L"", {L"brindlewick.exe"}},
        {L"folder-attribute.zip", L"", {L"assets\\", L"brindlewick.exe"}},
        {L"same-name.zip", failed, {}},
        {L"case-equal.zip", failed, {}},
        {L"dot-equal.zip", failed, {}},
        {L"legacy-names.zip", failed, {}}, // both decode to U+FFFD ".txt"
        {L"dot-entries.zip", L"", {L"sub\\", L"sub\\x.txt"}},
        {L"undercounted.zip", L"package is not a valid zip", {}},
        {L"undercounted-short.zip", L"package is not a valid zip", {}},
        {L"late-shared.zip", failed, {}},    // forty good entries, then one on the last's
        {L"late-bad-local.zip", failed, {}}, // forty good entries, then a damaged record
    };
    for (const auto& c : cases) {
        ScratchDir scratch(L"zip");
        const std::wstring dest = scratch / L"out";
        EXPECT_EQ(extract_error(c.archive, dest), c.error) << c.archive;
        EXPECT_EQ(list_tree(dest), c.tree) << c.archive;
        if (!c.error.empty()) {
            EXPECT_EQ(dir_entry_count(scratch.path), 0) << c.archive;
        }
    }
    ScratchDir scratch(L"zip");
    ASSERT_EQ(extract_error(L"nul-name.zip", scratch / L"a"), L"");
    EXPECT_EQ(read_file(scratch / L"a\\brindlewick.exe"), "real");
    ASSERT_EQ(extract_error(L"folder-attribute.zip", scratch / L"b"), L"");
    EXPECT_EQ(read_file(scratch / L"b\\brindlewick.exe"), "MZ program");
    // A short name standing for the program's long one (Windows' or Wine's form). Only
    // the file system knows short names, once files exist, so this one fails part-way,
    // leaving what was written for the caller to remove.
    EXPECT_EQ(extract_error(L"short-name.zip", scratch / L"c"), failed);
}

TEST(ZipExtract, ReplacesFilesThatAreThere) {
    ScratchDir scratch(L"zip");
    const std::wstring dest = scratch / L"out";
    ASSERT_TRUE(CreateDirectoryW(dest.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dest + L"\\docs").c_str(), nullptr));
    const std::string longer(100000, 'o');
    ASSERT_TRUE(write_file(dest + L"\\docs\\readme.txt", longer));
    ASSERT_TRUE(write_file(dest + L"\\brindlewick.exe", longer));

    ASSERT_EQ(extract_error(L"py-deflated.zip", dest), L"");
    EXPECT_EQ(read_file(dest + L"\\docs\\readme.txt"),
              read_file(zip_fixture(L"content\\docs\\readme.txt")));
    EXPECT_EQ(read_file(dest + L"\\brindlewick.exe"),
              read_file(zip_fixture(L"content\\brindlewick.exe")));
}

} // namespace
