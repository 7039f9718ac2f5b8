// Kept downloads in the install root of the test prefix, against the tests' own server.
#include "package/download_resumable.h"

#include "package/sha256_file.h"
#include "state/paths.h"
#include "state/text.h"
#include "support/test_support.h"
#include "update/test_server.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

using Sent = std::vector<std::pair<int, uint64_t>>;

// The responses to `route` after the first `earlier` (those of an earlier run), once there
// are `count` of them (or the wait for them ran out).
Sent responses_since(const std::string& route, size_t earlier, size_t count) {
    Sent sent = responses_when(route, earlier + count);
    sent.erase(sent.begin(), sent.begin() + static_cast<ptrdiff_t>(earlier));
    return sent;
}

// A kept beginning that is not what its validator names (a power cut, a file changed
// on the server under the same validator) fails the digest after the rest is appended:
// it is fetched whole once more, in the same call; a file fetched whole that fails is
// not fetched again. A complete file kept from a run that ended before using it is used
// without a request.
TEST(DownloadResumable, AContinuedFileThatFailsItsDigestIsFetchedWholeOnceMore) {
    const std::wstring fixture = update_fixture(L"www\\package.bin");
    const std::string body = read_file(fixture);
    std::string sha256;
    ASSERT_TRUE(sha256_file(fixture, sha256));
    std::string upper = sha256; // the manifest's case does not matter
    for (char& c : upper) {
        c = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string url = w_to_utf8(server_url(L""));
    const std::string route = "/files/package.bin?corrupt";
    const uint64_t size = body.size();
    download_discard(sha256);
    const size_t earlier = responses_to(route).size();

    std::wstring path;
    std::wstring error;
    ASSERT_TRUE(download_resumable(url + route, upper, size, Progress(), path, error)) << error;
    EXPECT_EQ(path, download_partial(sha256));
    const std::string validator = read_file(download_validator(sha256));
    EXPECT_EQ(validator.back(), '\n');
    // Its beginning damaged, the rest to come.
    ASSERT_TRUE(write_file(path, std::string(1000000, '\0')));
    ASSERT_TRUE(download_resumable(url + route, sha256, size, Progress(), path, error)) << error;
    EXPECT_EQ(read_file(path) == body, true);
    EXPECT_EQ(read_file(download_validator(sha256)), validator);
    EXPECT_EQ(responses_since(route, earlier, 3),
              (Sent{{200, size}, {206, size - 1000000}, {200, size}}));

    // Complete: no request at all.
    ASSERT_TRUE(download_resumable(url + route, sha256, size, Progress(), path, error)) << error;
    EXPECT_EQ(responses_since(route, earlier, 3).size(), 3u);

    // Fetched whole and still wrong: refused once, and nothing is kept.
    const std::string wrong(64, 'b');
    const std::string other = "/files/package.bin?wrong";
    const size_t earlier_other = responses_to(other).size();
    EXPECT_FALSE(download_resumable(url + other, wrong, size, Progress(), path, error));
    EXPECT_EQ(error, L"checksum mismatch - download corrupted or tampered");
    EXPECT_EQ(responses_since(other, earlier_other, 1), (Sent{{200, size}}));
    EXPECT_FALSE(file_exists(download_partial(wrong)));
    EXPECT_FALSE(file_exists(download_validator(wrong)));

    EXPECT_TRUE(download_discard(sha256));
    EXPECT_FALSE(file_exists(path));
    EXPECT_FALSE(file_exists(download_validator(sha256)));
}

} // namespace
