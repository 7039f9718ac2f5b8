#include "shell/uninstall_key.h"
#include "build_config.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <map>

namespace {

const wchar_t kSubkey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brindlewick";

struct Value {
    DWORD type = REG_NONE;
    std::string data;
};

// Every value of the entry by name; `exists` tells whether the key is there. (Wine lists
// values sorted by name, not in the order they were written.)
std::map<std::wstring, Value> read_entry(bool* exists) {
    std::map<std::wstring, Value> values;
    HKEY key = nullptr;
    *exists = RegOpenKeyExW(HKEY_CURRENT_USER, kSubkey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!*exists) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD name_len = 256;
        BYTE data[4096];
        DWORD size = sizeof data;
        Value value;
        if (RegEnumValueW(key, index, name, &name_len, nullptr, &value.type, data, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        value.data.assign(reinterpret_cast<char*>(data), size);
        values[name] = value;
    }
    RegCloseKey(key);
    return values;
}

std::string text_bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()),
                       (text.size() + 1) * sizeof(wchar_t));
}

std::string dword_bytes(DWORD value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Leaves the install root holding one file of `size` bytes.
void fill_root(size_t size) {
    rm_tree(root_dir());
    CreateDirectoryW(root_dir().c_str(), nullptr);
    ASSERT_TRUE(write_file(installed_updater(), std::string(size, 'x')));
}

class UninstallKey : public testing::Test {
  protected:
    void TearDown() override {
        remove_uninstall_key();
        rm_tree(root_dir());
        CreateDirectoryW(root_dir().c_str(), nullptr);
    }
};

TEST_F(UninstallKey, WritesEveryValueWithItsTypeAndSize) {
    remove_uninstall_key();
    fill_root(1023);
    ASSERT_TRUE(write_uninstall_key("1.2.3"));

    const std::wstring updater = installed_updater();
    const std::map<std::wstring, Value> expected = {
        {L"DisplayName", {REG_SZ, text_bytes(L"Brindlewick")}},
        {L"DisplayVersion", {REG_SZ, text_bytes(L"1.2.3")}},
        {L"Publisher", {REG_SZ, text_bytes(L"Quorvane Oy")}},
        {L"DisplayIcon", {REG_SZ, text_bytes(updater)}},
        {L"InstallLocation", {REG_SZ, text_bytes(root_dir())}},
        {L"UninstallString", {REG_SZ, text_bytes(L"\"" + updater + L"\" /uninstall")}},
        {L"QuietUninstallString", {REG_SZ, text_bytes(L"\"" + updater + L"\" /uninstall /quiet")}},
        {L"URLInfoAbout", {REG_SZ, text_bytes(PUBLISHER_HOME_PAGE)}},
        {L"NoModify", {REG_DWORD, dword_bytes(1)}},
        {L"NoRepair", {REG_DWORD, dword_bytes(1)}},
        {L"EstimatedSize", {REG_DWORD, dword_bytes(0)}}, // 1,023 bytes: no whole KiB
    };
    bool exists = false;
    const auto values = read_entry(&exists);
    ASSERT_TRUE(exists);
    ASSERT_EQ(values.size(), expected.size());
    for (const auto& [name, value] : expected) {
        ASSERT_EQ(values.count(name), 1u) << name;
        EXPECT_EQ(values.at(name).type, value.type) << name;
        EXPECT_EQ(values.at(name).data, value.data) << name;
    }
    EXPECT_EQ(values.at(L"DisplayName").data.size(), 24u);
}

TEST_F(UninstallKey, RefreshFollowsTheNewVersionAndSize) {
    fill_root(1023);
    ASSERT_TRUE(write_uninstall_key("1.2.3"));
    fill_root(1048576);
    ASSERT_TRUE(write_uninstall_key("1.10.0"));
    bool exists = false;
    const auto values = read_entry(&exists);
    ASSERT_EQ(values.size(), 11u);
    EXPECT_EQ(values.at(L"DisplayVersion").data, text_bytes(L"1.10.0"));
    EXPECT_EQ(values.at(L"EstimatedSize").data, dword_bytes(1024));
}

// A commit ended between its record and its entry leaves the entry naming the version
// before: the next start that checks writes it again; one that is right is left alone.
TEST_F(UninstallKey, FollowsTheRecordWhenBehindIt) {
    const auto name_it = [](const wchar_t* name) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSubkey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        RegSetValueExW(key, L"DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>((wcslen(name) + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    };
    const auto display_name = [] {
        bool exists = false;
        const auto values = read_entry(&exists);
        return exists ? values.at(L"DisplayName").data : std::string();
    };
    fill_root(100 * 1024);
    ASSERT_TRUE(write_uninstall_key("2.0.0"));
    name_it(L"marked");
    // Right, and the size within a tenth: untouched.
    fill_root(105 * 1024);
    EXPECT_TRUE(uninstall_key_follow("2.0.0"));
    EXPECT_EQ(display_name(), text_bytes(L"marked"));
    // Another version: written again.
    EXPECT_TRUE(uninstall_key_follow("4.0.0"));
    bool exists = false;
    EXPECT_EQ(read_entry(&exists).at(L"DisplayVersion").data, text_bytes(L"4.0.0"));
    EXPECT_EQ(display_name(), text_bytes(L"Brindlewick"));
    // A folder more or less since: written again, with the size now.
    name_it(L"marked");
    fill_root(300 * 1024);
    EXPECT_TRUE(uninstall_key_follow("4.0.0"));
    EXPECT_EQ(display_name(), text_bytes(L"Brindlewick"));
    EXPECT_EQ(read_entry(&exists).at(L"EstimatedSize").data, dword_bytes(300));
    // Gone: written.
    remove_uninstall_key();
    EXPECT_TRUE(uninstall_key_follow("4.0.0"));
    EXPECT_EQ(read_entry(&exists).at(L"DisplayVersion").data, text_bytes(L"4.0.0"));
}

TEST_F(UninstallKey, RemovalDeletesTheKeyAndMayBeRepeated) {
    ASSERT_TRUE(write_uninstall_key("1.0"));
    remove_uninstall_key();
    bool exists = true;
    read_entry(&exists);
    EXPECT_FALSE(exists);
    remove_uninstall_key();
    read_entry(&exists);
    EXPECT_FALSE(exists);
}

} // namespace
