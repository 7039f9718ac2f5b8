// Starts the real program and watches what its role leaves behind.
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// The only trace the updater role leaves so far: it clears a stub set aside by an
// earlier self-upgrade, which no other role touches.
class Entry : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileW((bin_dir() + L"\\BrindlewickSetup.exe").c_str(),
                              installed_updater().c_str(), FALSE));
        ASSERT_TRUE(write_file(old_stub(), "MZ"));
    }
    void TearDown() override {
        DeleteFileW(installed_updater().c_str());
        DeleteFileW(old_stub().c_str());
        DeleteFileW((root_dir() + L"\\install.json").c_str());
    }
    static std::wstring old_stub() { return root_dir() + L"\\updater.old.exe"; }
};

const unsigned long did_not_run = ~0ul;

TEST_F(Entry, TheInstalledStubTakesTheUpdaterRoleInAnyLetterCase) {
    const std::wstring upper = root_dir() + L"\\UPDATER.EXE";
    ASSERT_NE(run_to_end(upper, L""), did_not_run);
    EXPECT_FALSE(file_exists(old_stub()));
}

TEST_F(Entry, UninstallOptionWinsOverTheStubPath) {
    ASSERT_NE(run_to_end(installed_updater(), L"/uninstall"), did_not_run);
    EXPECT_TRUE(file_exists(old_stub()));
}

TEST_F(Entry, ACopyElsewhereTakesTheInstallerRole) {
    ScratchDir scratch(L"entry");
    const std::wstring copy = scratch / L"BrindlewickSetup.exe";
    ASSERT_TRUE(CopyFileW(installed_updater().c_str(), copy.c_str(), FALSE));
    // Even beside a valid installation.
    ASSERT_TRUE(write_file(root_dir() + L"\\install.json", "{\"installed\": \"1.0\"}"));
    EXPECT_EQ(run_to_end(copy, L""), 1u);
    EXPECT_TRUE(file_exists(old_stub()));
}

} // namespace
