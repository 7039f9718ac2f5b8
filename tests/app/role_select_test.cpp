#include "app/role_select.h"

#include <gtest/gtest.h>

namespace {

int root_lookups = 0;

std::wstring test_root() {
    ++root_lookups;
    return L"C:\\users\\u\\AppData\\Local\\Brindlewick";
}

std::wstring no_root() {
    ++root_lookups;
    return std::wstring();
}

const std::wstring stub = L"C:\\users\\u\\AppData\\Local\\Brindlewick\\updater.exe";
const std::wstring download = L"C:\\users\\u\\Downloads\\BrindlewickSetup.exe";

TEST(RoleSelection, UninstallOptionIsACaseSensitiveSubstring) {
    EXPECT_EQ(select_role(L"/uninstall", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"x /uninstallnow", test_root, download), Role::uninstaller);
    EXPECT_EQ(select_role(L"foo/uninstall", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"/UNINSTALL", test_root, stub), Role::updater);
    EXPECT_EQ(select_role(L"/Uninstall", test_root, download), Role::installer);
    EXPECT_EQ(select_role(L"-uninstall", test_root, download), Role::installer);
}

TEST(RoleSelection, UninstallerWinsWithoutResolvingTheRoot) {
    root_lookups = 0;
    EXPECT_EQ(select_role(L"/uninstall", no_root, download), Role::uninstaller);
    EXPECT_EQ(select_role(L"/uninstall", test_root, L""), Role::uninstaller);
    EXPECT_EQ(root_lookups, 0);
}

TEST(RoleSelection, EmptyRootStopsEveryOtherRole) {
    EXPECT_EQ(select_role(L"", no_root, stub), Role::no_root);
    EXPECT_EQ(select_role(nullptr, no_root, download), Role::no_root);
}

TEST(RoleSelection, StubPathComparedWithoutRegardToLetterCase) {
    EXPECT_EQ(select_role(nullptr, test_root, stub), Role::updater);
    EXPECT_EQ(
        select_role(L"", test_root, L"c:\\USERS\\u\\appdata\\local\\BRINDLEWICK\\UPDATER.EXE"),
        Role::updater);
}

TEST(RoleSelection, AnyOtherCopyOrWrittenFormInstalls) {
    EXPECT_EQ(select_role(nullptr, test_root, download), Role::installer);
    // The same file written differently is not recognised: the test is textual.
    EXPECT_EQ(
        select_role(nullptr, test_root, L"C:\\users\\u\\AppData\\Local\\BRINDL~1\\updater.exe"),
        Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root, stub + L" "), Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root,
                          L"C:\\users\\u\\AppData\\Local\\Brindlewick\\app-2.0\\updater.exe"),
              Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root, L""), Role::installer);
}

} // namespace
