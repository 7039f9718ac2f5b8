#include "package/zip_fixtures.h"
#include "package/zip_reader.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

// An open archive for the length of a test.
struct OpenArchive {
    explicit OpenArchive(const std::wstring& path) : file(_wfopen(path.c_str(), L"rb")) {
        std::memset(&zip, 0, sizeof zip);
        ok = file != nullptr && mz_zip_reader_init_cfile(&zip, file, 0, 0);
    }
    ~OpenArchive() {
        mz_zip_reader_end(&zip);
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;

    // The entry's bytes; `*read` tells whether the reader gave them all.
    std::string entry(mz_uint index, bool* read) {
        std::string bytes;
        *read = mz_zip_reader_extract_to_callback(&zip, index, append, &bytes, 0);
        return *read ? bytes : "";
    }
    static size_t append(void* bytes, mz_uint64, const void* data, size_t size) {
        static_cast<std::string*>(bytes)->append(static_cast<const char*>(data), size);
        return size;
    }

    FILE* file;
    mz_zip_archive zip;
    bool ok;
};

mz_zip_archive_file_stat stat_of(OpenArchive& archive, const char* name) {
    mz_zip_archive_file_stat stat;
    std::memset(&stat, 0, sizeof stat);
    for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&archive.zip); ++i) {
        if (mz_zip_reader_file_stat(&archive.zip, i, &stat) &&
            std::strcmp(stat.m_filename, name) == 0) {
            return stat;
        }
    }
    ADD_FAILURE() << "no entry " << name;
    return stat;
}

TEST(ZipReader, CountsEntriesPastTheSixteenBitFieldFromTheZip64Record) {
    OpenArchive archive(zip_fixture(L"many.zip"));
    ASSERT_TRUE(archive.ok);
    ASSERT_EQ(mz_zip_reader_get_num_files(&archive.zip), 65537u);
    mz_zip_archive_file_stat stat;
    ASSERT_TRUE(mz_zip_reader_file_stat(&archive.zip, 65536, &stat));
    EXPECT_STREQ(stat.m_filename, "f/65536");
    bool read = false;
    EXPECT_EQ(archive.entry(65536, &read), "65536");
    EXPECT_FALSE(mz_zip_reader_file_stat(&archive.zip, 65537, &stat));
}

TEST(ZipReader, TakesSizesFromZip64FieldsAndDescriptorEntriesFromTheDirectory) {
    const std::string big = read_file(zip_fixture(L"content\\data\\big.bin"));
    for (const wchar_t* name : {L"py-zip64.zip", L"py-streamed.zip", L"infozip-streamed.zip"}) {
        OpenArchive archive(zip_fixture(name));
        ASSERT_TRUE(archive.ok) << name;
        const mz_zip_archive_file_stat stat = stat_of(archive, "data/big.bin");
        EXPECT_EQ(stat.m_uncomp_size, big.size()) << name;
        EXPECT_LT(stat.m_comp_size, big.size() / 4) << name;
        EXPECT_EQ(stat.m_method, 8) << name;
        bool read = false;
        EXPECT_TRUE(archive.entry(stat.m_file_index, &read) == big && read) << name;
    }
    OpenArchive streamed(zip_fixture(L"py-streamed.zip"));
    EXPECT_NE(stat_of(streamed, "data/big.bin").m_bit_flag & 0x08, 0);
}

TEST(ZipReader, TellsFoldersAndUnsupportedEntriesApart) {
    OpenArchive archive(zip_fixture(L"infozip.zip"));
    ASSERT_TRUE(archive.ok);
    const mz_zip_archive_file_stat folder = stat_of(archive, "empty-dir/");
    EXPECT_TRUE(folder.m_is_directory);
    EXPECT_TRUE(mz_zip_reader_is_file_a_directory(&archive.zip, folder.m_file_index));
    EXPECT_FALSE(stat_of(archive, "data/empty.txt").m_is_directory);
    bool read = false;
    EXPECT_EQ(archive.entry(stat_of(archive, "data/empty.txt").m_file_index, &read), "");
    EXPECT_TRUE(read);

    OpenArchive encrypted(zip_fixture(L"encrypted.zip"));
    ASSERT_TRUE(encrypted.ok);
    const mz_zip_archive_file_stat secret = stat_of(encrypted, "brindlewick.exe");
    EXPECT_TRUE(secret.m_is_encrypted);
    EXPECT_FALSE(secret.m_is_supported);
}

// What a check of the records alone finds, entry by entry, against a full check that
// also inflates: the records show sharing, overlap, unreadable entries and damaged
// local records; only the full check sees damaged data.
TEST(ZipReader, ValidatesRecordsAndExtentsWithoutInflating) {
    const mz_uint headers = MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY;
    const struct {
        const wchar_t* archive;
        std::vector<bool> headers_ok; // per entry, in directory order
        std::vector<bool> full_ok;
    } cases[] = {
        {L"py-zip64.zip", std::vector<bool>(7, true), std::vector<bool>(7, true)},
        {L"infozip-streamed.zip", std::vector<bool>(13, true), std::vector<bool>(13, true)},
        {L"bad-data.zip", {true, true}, {true, false}},
        {L"lying-size.zip", {false, true}, {false, true}},
        {L"encrypted.zip", {false}, {false}},
        {L"bzip2.zip", {false}, {false}},
        {L"nested.zip", {false, true}, {false, true}},
        {L"overlapping.zip", std::vector<bool>(20, false), std::vector<bool>(20, false)},
    };
    for (const auto& c : cases) {
        OpenArchive archive(zip_fixture(c.archive));
        ASSERT_TRUE(archive.ok) << c.archive;
        ASSERT_EQ(mz_zip_reader_get_num_files(&archive.zip), c.headers_ok.size()) << c.archive;
        for (mz_uint i = 0; i < c.headers_ok.size(); ++i) {
            EXPECT_EQ(mz_zip_validate_file(&archive.zip, i, headers) != 0, c.headers_ok[i])
                << c.archive << " entry " << i;
            EXPECT_EQ(mz_zip_validate_file(&archive.zip, i, 0) != 0, c.full_ok[i])
                << c.archive << " entry " << i;
            // Extraction agrees with the full check, and still does after the checks.
            bool read = false;
            archive.entry(i, &read);
            EXPECT_EQ(read, c.full_ok[i]) << c.archive << " entry " << i;
        }
        const mz_uint count = mz_zip_reader_get_num_files(&archive.zip);
        EXPECT_FALSE(mz_zip_validate_file(&archive.zip, count, headers)) << c.archive;
    }
    // The two damaged after forty good entries: only the last ones fail.
    for (const wchar_t* name : {L"late-shared.zip", L"late-bad-local.zip"}) {
        OpenArchive archive(zip_fixture(name));
        ASSERT_TRUE(archive.ok) << name;
        ASSERT_EQ(mz_zip_reader_get_num_files(&archive.zip), 41u) << name;
        int failed = 0;
        for (mz_uint i = 0; i < 41; ++i) {
            failed += mz_zip_validate_file(&archive.zip, i, headers) ? 0 : 1;
        }
        // Sharing fails both entries on the one local record; a damaged signature one.
        EXPECT_EQ(failed, name == std::wstring(L"late-shared.zip") ? 2 : 1) << name;
        EXPECT_FALSE(mz_zip_validate_file(&archive.zip, 40, headers)) << name;
    }
    // Flags it does not know fail rather than being ignored.
    OpenArchive good(zip_fixture(L"py-deflated.zip"));
    ASSERT_TRUE(good.ok);
    EXPECT_TRUE(mz_zip_validate_file(&good.zip, 0, headers));
    EXPECT_FALSE(mz_zip_validate_file(&good.zip, 0, headers | 0x0400));
    EXPECT_FALSE(mz_zip_validate_file(nullptr, 0, headers));
}

// A ZIP64 size so large that the entry's end wraps past 2^64 refuses the archive, rather
// than being stated as if the data fitted in it.
TEST(ZipReader, RefusesASizeWhoseEndWrapsAround) {
    const std::string whole = read_file(zip_fixture(L"py-zip64.zip"));
    // The central record's name, then its ZIP64 field: id, length, sizes, offset.
    const size_t extra = whole.rfind("brindlewick.exe") + std::strlen("brindlewick.exe");
    ASSERT_EQ(whole.compare(extra, 4, std::string("\x01\x00\x18\x00", 4)), 0);
    ScratchDir scratch(L"zipwrap");
    for (const uint64_t size : {~0ULL, ~0ULL - 29, ~0ULL - 40}) {
        std::string damaged = whole;
        for (size_t i = 0; i < 8; ++i) {
            damaged[extra + 12 + i] = static_cast<char>(size >> (8 * i));
        }
        ASSERT_TRUE(write_file(scratch / L"wrap.zip", damaged));
        OpenArchive archive(scratch / L"wrap.zip");
        EXPECT_FALSE(archive.ok) << size;
    }
}

// Every shortened copy of an archive is refused at once, never half read.
TEST(ZipReader, RefusesEveryTruncation) {
    const std::string whole = read_file(zip_fixture(L"two.zip"));
    ScratchDir scratch(L"zipcut");
    for (size_t length = 0; length < whole.size(); ++length) {
        ASSERT_TRUE(write_file(scratch / L"cut.zip", whole.substr(0, length)));
        OpenArchive archive(scratch / L"cut.zip");
        EXPECT_FALSE(archive.ok) << "length " << length;
    }
}

// A damaged byte anywhere may make the archive or an entry unreadable, but whatever is
// read is exactly what was packed.
TEST(ZipReader, NeverReturnsAlteredBytesAfterAnyByteIsDamaged) {
    const std::string whole = read_file(zip_fixture(L"two.zip"));
    std::string packed[2];
    {
        OpenArchive intact(zip_fixture(L"two.zip"));
        ASSERT_TRUE(intact.ok);
        bool read = false;
        packed[0] = intact.entry(0, &read);
        packed[1] = intact.entry(1, &read);
    }
    ScratchDir scratch(L"zipflip");
    int refused = 0;
    for (size_t at = 0; at < whole.size(); ++at) {
        for (int mask : {0x01, 0x80, 0xFF}) {
            std::string damaged = whole;
            damaged[at] = static_cast<char>(damaged[at] ^ mask);
            ASSERT_TRUE(write_file(scratch / L"flip.zip", damaged));
            OpenArchive archive(scratch / L"flip.zip");
            if (!archive.ok) {
                ++refused;
                continue;
            }
            for (mz_uint i = 0; i < mz_zip_reader_get_num_files(&archive.zip) && i < 2; ++i) {
                bool read = false;
                const std::string bytes = archive.entry(i, &read);
                EXPECT_TRUE(!read || bytes == packed[i]) << "byte " << at << " entry " << i;
                // The checks without extracting never pass what extraction refuses, and
                // the record check never refuses what extraction takes.
                EXPECT_EQ(mz_zip_validate_file(&archive.zip, i, 0) != 0, read)
                    << "byte " << at << " entry " << i;
                EXPECT_TRUE(!read || mz_zip_validate_file(&archive.zip, i,
                                                          MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY))
                    << "byte " << at << " entry " << i;
                refused += read ? 0 : 1;
            }
        }
    }
    EXPECT_GT(refused, 0);
}

} // namespace
