#include "state/paths.h"
#include "state/file_tree.h"
#include "support/test_support.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

namespace {

TEST(Paths, RootIsBrindlewickUnderLocalAppDataAndExists) {
    const std::wstring expected = local_app_data() + L"\\Brindlewick";
    ASSERT_NE(expected, L"\\Brindlewick");
    EXPECT_EQ(root_dir(), expected);
    EXPECT_TRUE(is_directory(root_dir()));
    EXPECT_EQ(installed_updater(), expected + L"\\updater.exe");
}

TEST(Paths, RootIsCachedOnceResolved) {
    const std::wstring root = root_dir();
    // Removed behind its back, the root is neither looked up nor created again.
    ASSERT_TRUE(rm_tree(root));
    EXPECT_EQ(root_dir(), root);
    EXPECT_FALSE(is_directory(root));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
}

TEST(Paths, VersionDirectoriesOnlyConcatenate) {
    const std::wstring root = root_dir();
    EXPECT_EQ(app_dir(""), root + L"\\app-");
    EXPECT_EQ(app_exe(""), root + L"\\app-\\brindlewick.exe");
    EXPECT_FALSE(file_exists(app_exe("")));
    EXPECT_EQ(app_exe("2.4.0"), root + L"\\app-2.4.0\\brindlewick.exe");
}

TEST(Paths, NonAsciiVersionStandsUnchangedInTheDirectoryName) {
    const std::string version = "2.0-\xc3\xa9t\xc3\xa9";
    const std::wstring dir = app_dir(version);
    EXPECT_EQ(dir, root_dir() + L"\\app-2.0-\u00e9t\u00e9");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    ASSERT_TRUE(write_file(app_exe(version), "MZ"));

    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(dir.c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(entry.cFileName, L"app-2.0-\u00e9t\u00e9");
    EXPECT_TRUE(file_exists(dir));
    EXPECT_TRUE(file_exists(app_exe(version)));
    EXPECT_TRUE(rm_tree(dir));
    EXPECT_FALSE(file_exists(dir));
}

TEST(Paths, OwnPathIsTheRunningProgram) {
    const std::wstring self = own_path();
    ASSERT_GT(self.size(), 24u);
    EXPECT_EQ(self.substr(self.size() - 23), L"\\install_root_tests.exe");
    EXPECT_TRUE(file_exists(self));
}

} // namespace
