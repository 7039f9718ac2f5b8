#include "package/image_header.h"
#include "package/zip_fixtures.h"

#include "state/text.h"

#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The fixtures' program images (make_zips.py, from image_headers.py), one a line.
std::vector<std::wstring> listed_images() {
    std::vector<std::wstring> images;
    const std::string text = read_file(zip_fixture(L"images.txt"));
    for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        images.push_back(utf8_to_w(text.substr(begin, end - begin)));
    }
    return images;
}

bool fed_in_pieces(const std::string& bytes, size_t piece) {
    ImageHeader header = {};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t at = 0; at < bytes.size(); at += piece) {
        image_header_feed(header, at, data + at, std::min(piece, bytes.size() - at));
    }
    return image_header_is_image(header);
}

// As a reader that skips to it would: the DOS header, then the signature's four bytes
// where the header says, when they lie within the file.
bool fed_as_read(const std::string& bytes) {
    ImageHeader header = {};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    image_header_feed(header, 0, data, std::min<size_t>(bytes.size(), sizeof header.dos));
    uint64_t at = 0;
    if (image_header_pe_offset(header, at) && at + 4 <= bytes.size()) {
        image_header_feed(header, at, data + at, 4);
    }
    return image_header_is_image(header);
}

TEST(ImageHeader, TheSameVerdictWholeInPiecesOrReadWhereTheHeaderPoints) {
    const std::vector<std::wstring> images = listed_images();
    ASSERT_GE(images.size(), 5u);
    const std::vector<std::wstring> files = list_tree(zip_fixture(L"images"));
    ASSERT_GE(files.size(), images.size() + 7);
    for (const std::wstring& rel : files) {
        if (rel.back() == L'\\') {
            continue;
        }
        const std::string bytes = read_file(zip_fixture(L"images\\" + rel));
        const bool image = std::find(images.begin(), images.end(), rel) != images.end();
        for (size_t piece : {bytes.size() + 1, size_t{1}, size_t{7}, size_t{64}, size_t{65}}) {
            EXPECT_EQ(fed_in_pieces(bytes, piece), image) << w_to_utf8(rel) << " " << piece;
        }
        EXPECT_EQ(fed_as_read(bytes), image) << w_to_utf8(rel);
    }
}

TEST(ImageHeader, NothingFedIsNoImage) {
    ImageHeader header = {};
    uint64_t at = 7;
    EXPECT_FALSE(image_header_pe_offset(header, at));
    EXPECT_FALSE(image_header_is_image(header));
}

} // namespace
