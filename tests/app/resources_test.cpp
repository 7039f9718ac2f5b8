// Reads the built program's resources back through the platform.
#include "build_config.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::wstring& program() {
    static const std::wstring path = bin_dir() + L"\\BrindlewickSetup.exe";
    return path;
}

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
        return L"<missing>";
    }
    return std::wstring(value);
}

TEST(Resources, VersionInformationNamesTheProduct) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program().c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(program().c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(1, 1));
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    EXPECT_EQ(version_string(info, L"FileVersion"), L"1.1.0");
    EXPECT_EQ(version_string(info, L"ProductVersion"), L"1.1.0");
    EXPECT_EQ(version_string(info, L"ProductName"), L"Brindlewick");
    EXPECT_EQ(version_string(info, L"FileDescription"), L"Brindlewick Setup");
}

TEST(Resources, IconGroupOneAndTheApplicationManifest) {
    const HMODULE module = LoadLibraryExW(
        program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);

    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
    const HICON icon = static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    EXPECT_NE(icon, nullptr) << "icon group 1 does not load";
    if (icon != nullptr) {
        DestroyIcon(icon);
    }

    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(found, nullptr) << "no application manifest";
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string manifest(text, SizeofResource(module, found));
    FreeLibrary(module);

    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
    EXPECT_NE(manifest.find(">PerMonitorV2</dpiAwareness>"), std::string::npos);
}

} // namespace
