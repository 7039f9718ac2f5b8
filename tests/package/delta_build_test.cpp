#include "package/delta_build.h"
#include "package/zip_fixtures.h"
#include "state/text.h"

#include <gtest/gtest.h>

namespace {

// Each delta package of the fixtures against the folder it starts from: the one that
// builds makes exactly the tree it describes and lists its program images, whatever
// road each came by; every other fails with its reason, and one refused for its
// description makes nothing at all.
TEST(DeltaBuild, BuildsTheDescribedTreeOrSaysWhyNot) {
    const std::string cases = read_file(zip_fixture(L"delta-cases.txt"));
    std::string release; // the package the deltas lead to, its digest in upper case
    for (int i = 0; i < 32; ++i) {
        release += "AB";
    }
    int count = 0;
    for (size_t begin = 0, end; (end = cases.find('\n', begin)) != std::string::npos;
         begin = end + 1, ++count) {
        const std::string line = cases.substr(begin, end - begin);
        const std::string name = line.substr(0, line.find('|'));
        const std::wstring expected = utf8_to_w(line.substr(line.find('|') + 1));
        ScratchDir scratch(L"delta");
        std::vector<std::wstring> images = {L"left over"};
        std::wstring error;
        const bool built =
            delta_build_tree(zip_fixture(L"delta-" + utf8_to_w(name) + L".zip"), release,
                             zip_fixture(L"delta-base"), scratch / L"out", images, error);
        EXPECT_EQ(error, expected) << name;
        EXPECT_EQ(built, expected.empty()) << name;
        if (built) {
            const std::vector<std::wstring> tree = list_tree(zip_fixture(L"delta-tree"));
            EXPECT_EQ(list_tree(scratch / L"out"), tree);
            for (const std::wstring& path : tree) {
                EXPECT_EQ(read_file(scratch / (L"out\\" + path)),
                          read_file(zip_fixture(L"delta-tree\\" + path)))
                    << w_to_utf8(path);
            }
            EXPECT_EQ(images, (std::vector<std::wstring>{L"prog.dll", L"prog.exe"}));
        } else {
            EXPECT_TRUE(images.empty()) << name;
        }
        if (expected == L"bad delta description" || expected == L"delta is for another release") {
            EXPECT_FALSE(is_directory(scratch / L"out")) << name;
        }
    }
    EXPECT_EQ(count, 23);
    // The folder it starts from is read, never changed.
    EXPECT_EQ(list_tree(zip_fixture(L"delta-base")).size(), 4u);
}

} // namespace
