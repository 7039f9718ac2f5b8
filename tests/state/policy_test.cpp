#include "state/policy.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

const wchar_t kPolicyKey[] = L"Software\\Policies\\Brindlewick";

void set_value(HKEY root, const wchar_t* name, DWORD type, const void* data, DWORD size,
               const wchar_t* key = kPolicyKey) {
    HKEY opened = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(opened, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(opened);
}

void set_dword(HKEY root, const wchar_t* name, DWORD value, const wchar_t* key = kPolicyKey) {
    set_value(root, name, REG_DWORD, &value, sizeof value, key);
}

void set_text(HKEY root, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    set_value(root, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

class PolicyKeys : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kPolicyKey);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Brindlewick", L"ReportsDisabled");
    }
    // The log's lines written while `read` ran.
    template <typename Read>
    static std::string logged(Read read) {
        const std::string before = read_file(log_file());
        read();
        return read_file(log_file()).substr(before.size());
    }
};

TEST_F(PolicyKeys, NothingSetAsksNothing) {
    const Policy policy = policy_read();
    EXPECT_FALSE(policy.updates_disabled);
    EXPECT_FALSE(policy.reports_disabled);
    EXPECT_EQ(policy.target_prefix, "");
    EXPECT_EQ(policy.update_url, L"");
    EXPECT_FALSE(policy.channel_set);
    EXPECT_FALSE(user_reports_disabled());
}

// Each value under either key, and the machine's winning over the user's value by value.
TEST_F(PolicyKeys, EachValueUnderEitherKeyTheMachinesWinning) {
    for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        clear();
        set_dword(root, L"UpdatesDisabled", 1);
        set_dword(root, L"ReportsDisabled", 1);
        set_text(root, L"TargetVersionPrefix", L"2.3");
        set_text(root, L"UpdateUrl", L"https://mirror.example.com/brindlewick/");
        set_text(root, L"Channel", L"beta");
        const Policy policy = policy_read();
        EXPECT_TRUE(policy.updates_disabled);
        EXPECT_TRUE(policy.reports_disabled);
        EXPECT_EQ(policy.target_prefix, "2.3");
        EXPECT_EQ(policy.update_url, L"https://mirror.example.com/brindlewick");
        EXPECT_TRUE(policy.channel_set);
        EXPECT_EQ(policy.channel, "beta");
    }
    set_dword(HKEY_LOCAL_MACHINE, L"UpdatesDisabled", 0);
    set_text(HKEY_LOCAL_MACHINE, L"TargetVersionPrefix", L"3");
    set_text(HKEY_LOCAL_MACHINE, L"Channel", L""); // the default channel
    const Policy policy = policy_read();
    EXPECT_FALSE(policy.updates_disabled);
    EXPECT_EQ(policy.target_prefix, "3");
    EXPECT_TRUE(policy.channel_set);
    EXPECT_EQ(policy.channel, "");
    EXPECT_TRUE(policy.reports_disabled); // set by the user's key alone
}

// A value of the wrong type or malformed is never obeyed, and the log says so; the
// user's value of the same name then applies.
TEST_F(PolicyKeys, WrongTypesAndMalformedValuesAreIgnoredAndLogged) {
    set_text(HKEY_LOCAL_MACHINE, L"UpdatesDisabled", L"1");
    set_dword(HKEY_LOCAL_MACHINE, L"ReportsDisabled", 2);
    set_text(HKEY_LOCAL_MACHINE, L"TargetVersionPrefix", L"2.x");
    set_text(HKEY_LOCAL_MACHINE, L"UpdateUrl", L"http://mirror.example.com/brindlewick");
    set_text(HKEY_LOCAL_MACHINE, L"Channel", L"Beta");
    set_text(HKEY_CURRENT_USER, L"TargetVersionPrefix", L"2.3.1");
    set_text(HKEY_CURRENT_USER, L"UpdateUrl", L"%MIRROR%", REG_EXPAND_SZ);
    const std::wstring long_url = L"https://" + std::wstring(2000, L'a') + L".example.com";
    set_text(HKEY_CURRENT_USER, L"Channel", L"beta two");
    Policy policy;
    const std::string log = logged([&] { policy = policy_read(); });
    EXPECT_FALSE(policy.updates_disabled);
    EXPECT_FALSE(policy.reports_disabled);
    EXPECT_EQ(policy.target_prefix, "2.3.1");
    EXPECT_EQ(policy.update_url, L"");
    EXPECT_FALSE(policy.channel_set);
    for (const char* line : {"policy UpdatesDisabled ignored (HKLM): not a DWORD",
                             "policy ReportsDisabled ignored (HKLM): neither 0 nor 1",
                             "policy TargetVersionPrefix ignored (HKLM): not 1 to 4 dot-separated",
                             "policy UpdateUrl ignored (HKLM): not an https address",
                             "policy UpdateUrl ignored (HKCU): not a string",
                             "policy Channel ignored (HKLM): not 1 to 32 of a-z, 0-9 and -",
                             "policy Channel ignored (HKCU): not 1 to 32"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_EQ(log.find("TargetVersionPrefix ignored (HKCU)"), std::string::npos) << log;

    for (const std::wstring& url :
         {long_url, std::wstring(L"https://"), std::wstring(L"https:///path"),
          std::wstring(L"https://host/a b"), std::wstring(L"HTTPS://host")}) {
        clear();
        set_text(HKEY_LOCAL_MACHINE, L"UpdateUrl", url);
        EXPECT_EQ(policy_read().update_url, L"") << url.substr(0, 40);
    }
}

TEST_F(PolicyKeys, TheUsersOwnRefusalOfReports) {
    set_dword(HKEY_CURRENT_USER, L"ReportsDisabled", 1, L"Software\\Brindlewick");
    EXPECT_TRUE(user_reports_disabled());
    EXPECT_FALSE(policy_read().reports_disabled); // not a policy
    set_dword(HKEY_CURRENT_USER, L"ReportsDisabled", 0, L"Software\\Brindlewick");
    EXPECT_FALSE(user_reports_disabled());
}

// Prefixes hold versions as whole numbers, never as text.
TEST(PolicyVersions, APrefixHoldsWholeNumbers) {
    Policy policy;
    EXPECT_TRUE(policy_allows_version(policy, "9.9"));
    EXPECT_FALSE(policy_allows_version(policy, "not.a.version"));
    const struct {
        const char* prefix;
        const char* version;
        bool allowed;
    } cases[] = {
        {"2.3", "2.3", true},     {"2.3", "2.3.0", true},     {"2.3", "2.3.17.4", true},
        {"2.3", "2.30", false},   {"2.3", "2.30.1", false},   {"2.3", "2.4", false},
        {"2.3", "2", false},      {"2.3", "02.003.1", true},  {"2.3.1", "2.3", false},
        {"2.3.1", "2.3.1", true}, {"2.3.1", "2.3.10", false}, {"2", "2.99", true},
        {"2", "20.1", false},     {"2.3", "", false},
    };
    for (const auto& c : cases) {
        policy.target_prefix = c.prefix;
        EXPECT_EQ(policy_allows_version(policy, c.version), c.allowed)
            << c.prefix << " " << c.version;
    }
}

} // namespace
