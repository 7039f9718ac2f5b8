#include "update/latest_manifest.h"
#include "update/manifest.h"
#include "update/update_source.h"

#include "build_config.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

const std::string kDigest(64, 'a');

std::wstring parse_error(const std::string& text, Manifest* out = nullptr) {
    Manifest manifest;
    manifest.version = "unchanged";
    std::wstring error = L"";
    const bool ok = manifest_parse(text, manifest, error);
    EXPECT_EQ(ok, error.empty()) << text;
    if (out != nullptr) {
        *out = manifest;
    }
    return error;
}

TEST(ManifestParse, ReadsAWellFormedManifest) {
    Manifest m;
    ASSERT_EQ(parse_error(R"({"url": "https://", "version": "1.2.3.4", "sha256": ")" +
                              std::string(64, 'F') + R"(", "other": [1]})",
                          &m),
              L"");
    EXPECT_EQ(m.version, "1.2.3.4");
    EXPECT_EQ(m.url, "https://");
    EXPECT_EQ(m.sha256, std::string(64, 'F'));
    EXPECT_EQ(m.minStub, "");
    ASSERT_EQ(parse_error(R"({"version": "2", "url": "https://h/p.zip", "sha256": ")" + kDigest +
                              R"(", "minStub": "1.1"})",
                          &m),
              L"");
    EXPECT_EQ(m.minStub, "1.1");
}

TEST(ManifestParse, ChecksVersionThenUrlThenDigestAndKeepsWhatItRead) {
    Manifest m;
    EXPECT_EQ(parse_error(R"({"version": "1.x", "url": "http://h"})", &m),
              L"manifest: bad version");
    EXPECT_EQ(m.version, "1.x");
    EXPECT_EQ(m.url, "http://h");
    EXPECT_EQ(parse_error(R"({"url": "https://h"})"), L"manifest: bad version");
    EXPECT_EQ(
        parse_error(R"({"version": "1", "url": "HTTPS://h", "sha256": ")" + kDigest + R"("})"),
        L"manifest: url must be https");
    EXPECT_EQ(parse_error(R"({"version": "1", "url": "http://h"})"),
              L"manifest: url must be https");
    EXPECT_EQ(parse_error(R"({"version": "1", "url": "https://h", "sha256": ")" +
                          std::string(63, 'a') + R"("})"),
              L"manifest: bad sha256");
    EXPECT_EQ(parse_error(R"({"version": "1", "url": "https://h", "sha256": ")" +
                          std::string(65, 'a') + R"("})"),
              L"manifest: bad sha256");
    EXPECT_EQ(parse_error(R"({"version": "1", "url": "https://h", "sha256": ")" +
                          std::string(64, 'z') + R"("})"),
              L"manifest: bad sha256");
}

TEST(ManifestParse, AnythingButAnObjectLeavesTheManifestAlone) {
    for (const char* text : {"[]", "\"text\"", "12", "{", "{} x", "{/*c*/}", ""}) {
        Manifest m;
        EXPECT_EQ(parse_error(text, &m), L"latest.json is not valid JSON") << text;
        EXPECT_EQ(m.version, "unchanged");
    }
}

TEST(ManifestParse, AMemberOfTheWrongTypeFailsItsOwnRule) {
    const std::string good_rest = R"("url": "https://h", "sha256": ")" + kDigest + R"(")";
    EXPECT_EQ(parse_error(R"({"version": 1, )" + good_rest + "}"), L"manifest: bad version");
    EXPECT_EQ(
        parse_error(R"({"version": "1", "url": ["https://h"], "sha256": ")" + kDigest + R"("})"),
        L"manifest: url must be https");
    EXPECT_EQ(parse_error(R"({"version": "1", "url": "https://h", "sha256": null})"),
              L"manifest: bad sha256");
    EXPECT_EQ(parse_error(R"({"version": "1", )" + good_rest + R"(, "minStub": 2})"),
              L"manifest: bad minStub");
}

// A verified manifest is acted on only while it is the newest seen and not long expired.
TEST(ManifestIsCurrent, RefusesReplaysAndManifestsLongExpired) {
    const uint64_t now = 1800000000;
    const std::wstring older = L"manifest is older than one already seen";
    const std::wstring expired = L"manifest expired";
    const struct {
        uint64_t issued;
        uint64_t expires;
        uint64_t seen;
        std::wstring error;
    } cases[] = {
        {0, 0, 0, L""},   // says nothing, as manifests made before: passes
        {0, 0, now, L""}, // ... whatever was seen
        {now, 0, now, L""},
        {now + 1, 0, now, L""},
        {now, 0, now + 1, older},
        {now, now - kClockSkewSeconds, 0, L""}, // a clock up to a day behind is forgiven
        {now, now - kClockSkewSeconds - 1, 0, expired},
        {now, UINT64_MAX, 0, L""},
        {1, 1, 0, expired},
        {now, now - kClockSkewSeconds - 1, now + 1, older}, // the replay is named first
    };
    for (const auto& c : cases) {
        Manifest m;
        m.issued = c.issued;
        m.expires = c.expires;
        std::wstring error;
        EXPECT_EQ(manifest_is_current(m, c.seen, now, error), c.error.empty());
        EXPECT_EQ(error, c.error) << c.issued << " " << c.expires << " " << c.seen;
    }
}

class UpdateBaseUrl : public testing::Test {
  protected:
    void TearDown() override { SetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", nullptr); }
    static void set(const std::wstring& value) {
        SetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", value.c_str());
    }
};

TEST_F(UpdateBaseUrl, TheOverrideIsTakenVerbatimUpTo511Characters) {
    const std::wstring fallback =
        L"https://" + std::wstring(PUBLISHER_WEB_HOST) + L"/appdata/brindlewick";
    SetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", nullptr);
    EXPECT_EQ(update_base_url(), fallback);
    set(L"");
    EXPECT_EQ(update_base_url(), fallback);
    set(L"http://localhost:8080/updates/");
    EXPECT_EQ(update_base_url() + L"/latest.json", L"http://localhost:8080/updates//latest.json");
    const std::wstring longest = L"https://h/" + std::wstring(501, L'p');
    set(longest);
    EXPECT_EQ(update_base_url(), longest);
    set(longest + L"p");
    EXPECT_EQ(update_base_url(), fallback);
}

TEST_F(UpdateBaseUrl, AnAddressThatIsNotHttpsIsRefused) {
    for (const wchar_t* base : {L"http://localhost:1", L"HTTPS://localhost:1", L"localhost"}) {
        set(base);
        Manifest manifest;
        std::wstring error;
        EXPECT_FALSE(manifest_fetch_latest("", manifest, error));
        EXPECT_EQ(error, L"update address must be https") << base;
    }
}

} // namespace
