#include "app/role_select.h"
#include "support/test_support.h"

#include <windows.h>

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

// The option as written anywhere in the command line, or as a whole argument in any
// letter case (an administrator's "/UNINSTALL /QUIET" must never install).
TEST(RoleSelection, UninstallOptionIsASubstringOrAWholeArgumentInAnyCase) {
    EXPECT_EQ(select_role(L"/uninstall", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"x /uninstallnow", test_root, download), Role::uninstaller);
    EXPECT_EQ(select_role(L"foo/uninstall", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"/UNINSTALL", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"/Uninstall /quiet", test_root, download), Role::uninstaller);
    EXPECT_EQ(select_role(L"\"/UNINSTALL\"", test_root, download), Role::uninstaller);
    EXPECT_EQ(select_role(L"/UNINSTALLNOW", test_root, stub), Role::updater);
    EXPECT_EQ(select_role(L"x/UNINSTALL", test_root, download), Role::installer);
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

TEST(RoleSelection, AnyOtherCopyInstalls) {
    EXPECT_EQ(select_role(nullptr, test_root, download), Role::installer);
    // Paths that name no file are compared as text.
    EXPECT_EQ(
        select_role(nullptr, test_root, L"C:\\users\\u\\AppData\\Local\\BRINDL~1\\updater.exe"),
        Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root, stub + L" "), Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root,
                          L"C:\\users\\u\\AppData\\Local\\Brindlewick\\app-2.0\\updater.exe"),
              Role::installer);
    EXPECT_EQ(select_role(nullptr, test_root, L""), Role::installer);
}

TEST(RoleSelection, SelfCheckComesAfterTheUninstaller) {
    EXPECT_EQ(select_role(L"/selfcheck", no_root, stub), Role::self_check);
    EXPECT_EQ(select_role(L"/selfcheck /uninstall", test_root, stub), Role::uninstaller);
    EXPECT_EQ(select_role(L"/SELFCHECK", test_root, download), Role::installer);
}

std::wstring scratch_root;
std::wstring scratch_root_lookup() {
    return scratch_root;
}

// The stub is known by its file, however its path is written; a copy of it is not it.
TEST(RoleSelection, TheStubIsKnownByItsFileWhateverItsPath) {
    ScratchDir scratch(L"role");
    scratch_root = scratch / L"Brindlewick Install Root";
    ASSERT_TRUE(CreateDirectoryW(scratch_root.c_str(), nullptr));
    const std::wstring stub_file = scratch_root + L"\\updater.exe";
    const std::wstring copy = scratch / L"updater.exe";
    ASSERT_TRUE(write_file(stub_file, "stub"));
    ASSERT_TRUE(write_file(copy, "stub"));

    wchar_t short_form[MAX_PATH];
    const DWORD length = GetShortPathNameW(stub_file.c_str(), short_form, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_NE(std::wstring(short_form), stub_file);
    wchar_t relative[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, relative);
    SetCurrentDirectoryW(scratch.path.c_str());
    const std::wstring dotted =
        L"Brindlewick Install Root\\..\\Brindlewick Install Root\\UPDATER.EXE";

    const struct {
        std::wstring own_path;
        Role role;
    } cases[] = {
        {stub_file, Role::updater}, {short_form, Role::updater},     {dotted, Role::updater},
        {copy, Role::installer},    {scratch_root, Role::installer},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(select_role(nullptr, scratch_root_lookup, c.own_path), c.role) << c.own_path;
    }
    // Under Wine the drive Z: shows the whole Unix tree, the prefix's C: drive within it.
    std::wstring through_z = L"Z:";
    for (const char c : unix_path(stub_file)) {
        through_z += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    if (through_z.size() > 2) {
        EXPECT_EQ(select_role(nullptr, scratch_root_lookup, through_z), Role::updater);
    }
    SetCurrentDirectoryW(relative);
}

} // namespace
