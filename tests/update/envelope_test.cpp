#include "update/envelope.h"
#include "update/envelope_decode.h"
#include "update/manifest.h"
#include "update/test_server.h"

#include "build_config.h"
#include "state/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

std::wstring unwrap_error(const std::wstring& name, std::string& payload) {
    std::wstring error = L"left over";
    const std::string text = read_file(update_fixture(L"envelopes\\" + name + L".json"));
    const bool ok = manifest_unwrap(text, payload, error);
    EXPECT_EQ(ok, error.empty()) << name;
    return error;
}

TEST(ManifestUnwrap, AcceptsASignatureOverThePayloadBytesOnly) {
    const std::string manifest = read_file(update_fixture(L"payload.json"));
    ASSERT_FALSE(manifest.empty());
    // Signed by the release tool, by OpenSSL's command line (DER made P1363), and with
    // members in another order beside unknown ones.
    for (const wchar_t* name : {L"good", L"good-openssl", L"good-sig-first-extra-members"}) {
        std::string payload = "untouched";
        EXPECT_EQ(unwrap_error(name, payload), L"") << name;
        EXPECT_EQ(payload, manifest) << name;
    }
}

TEST(ManifestUnwrap, EveryOtherEnvelopeFailsTheSameWayAndLeavesThePayload) {
    for (const wchar_t* name :
         {L"bad-der-signature", L"bad-signed-base64-text", L"bad-signed-whole-envelope",
          L"bad-other-key", L"bad-flipped-payload", L"bad-flipped-sig", L"bad-short-sig",
          L"bad-empty-payload", L"bad-no-payload", L"bad-array", L"bad-string",
          L"bad-trailing-text", L"bad-comment", L"bad-payload-number", L"bad-sig-object",
          L"bad-not-json", L"bad-empty"}) {
        std::string payload = "untouched";
        EXPECT_EQ(unwrap_error(name, payload), L"manifest signature check failed") << name;
        EXPECT_EQ(payload, "untouched") << name;
    }
}

TEST(ManifestUnwrap, AMalformedBuiltInKeyVerifiesNothing) {
    const std::string text = read_file(update_fixture(L"envelopes\\good.json"));
    std::string key = MANIFEST_KEY_HEX;
    std::string payload;
    std::wstring error;
    ASSERT_TRUE(manifest_unwrap_with_key(text, key.c_str(), payload, error));

    std::string upper = key;
    upper[10] = upper[10] >= 'a' ? static_cast<char>(upper[10] - 'a' + 'A') : 'G';
    std::string compressed = key;
    compressed[1] = '2';
    for (const std::string& bad : {upper, compressed, key.substr(0, 128), std::string()}) {
        EXPECT_FALSE(manifest_unwrap_with_key(text, bad.c_str(), payload, error)) << bad;
        EXPECT_EQ(error, L"manifest signature check failed");
    }
}

TEST(ManifestUnwrap, AnyKeyOfTheListVerifies) {
    const std::string good = read_file(update_fixture(L"envelopes\\good.json"));
    const std::string other = read_file(update_fixture(L"envelopes\\bad-other-key.json"));
    const std::string ours = MANIFEST_KEY_HEX;
    const std::string theirs = read_file(update_fixture(L"other-key.txt"));
    ASSERT_EQ(theirs.size(), 130u);
    std::string upper = ours;
    upper[2] = 'G';
    // The keys, then whether the development key's envelope and the other key's verify.
    const struct {
        std::string keys;
        bool good, other;
    } cases[] = {
        {ours, true, false},
        {theirs, false, true},
        {ours + "," + theirs, true, true},
        {theirs + "," + ours, true, true},
        {upper + "," + theirs, false, true}, // a malformed entry spoils no other
        {theirs + ",," + ours + ",", true, true},
        {ours + theirs, false, false}, // one key of twice the length
        {" " + ours, false, false},
        {",", false, false},
    };
    for (const auto& c : cases) {
        for (const auto& [text, verifies] : {std::pair{good, c.good}, std::pair{other, c.other}}) {
            std::string payload = "untouched";
            std::wstring error;
            EXPECT_EQ(manifest_unwrap_with_key(text, c.keys.c_str(), payload, error), verifies)
                << c.keys;
            EXPECT_EQ(error, verifies ? L"" : L"manifest signature check failed");
            EXPECT_EQ(payload == "untouched", !verifies) << c.keys;
        }
    }
}

// The table the release tool's tests read too (tests/update/manifest_rules.json), made
// into envelopes signed with the development key.
TEST(ReleaseRules, TheProgramKeepsTheRulesTheReleaseToolKeeps) {
    const nlohmann::json index =
        nlohmann::json::parse(read_file(update_fixture(L"rules\\index.json")), nullptr, false);
    ASSERT_TRUE(index.is_array() && index.size() > 40);
    for (const nlohmann::json& rule : index) {
        const std::string name = rule["name"];
        const std::string text =
            read_file(update_fixture(L"rules\\" + utf8_to_w(rule["file"].get<std::string>())));
        std::string payload;
        Manifest manifest;
        std::wstring error;
        const bool ok =
            manifest_unwrap(text, payload, error) && manifest_parse(payload, manifest, error);
        EXPECT_EQ(ok ? "ok" : w_to_utf8(error), rule["expect"].get<std::string>()) << name;
    }
}

TEST(B64Decode, DecodesStandardBase64AndRejectsTheRest) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(b64_decode("AAEC/w==", bytes));
    EXPECT_EQ(bytes, (std::vector<unsigned char>{0, 1, 2, 255}));
    for (const char* text : {"", "not base64!", "AAEC/w=", "AAEC/w===", "AAEC/w==AA==", "AAEC/x==",
                             "AAE C/w==", "AAEC-w==", "AAEC\n/w=="}) {
        EXPECT_FALSE(b64_decode(text, bytes)) << text;
    }
}

} // namespace
