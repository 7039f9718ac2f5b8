#include "state/install_state.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

class InstallStateFile : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        for (const std::wstring& path : {state_file(), temp_file()}) {
            DeleteFileW(path.c_str());
            rm_tree(path);
        }
    }
    static std::wstring temp_file() { return state_temp_file(); }

    // Loads from a file holding exactly `json`.
    static bool load_from(const std::string& json, InstallState& state) {
        EXPECT_TRUE(write_file(state_file(), json));
        return state_load(state);
    }
};

InstallState filled() {
    InstallState state;
    state.installed = "9.9";
    state.staged = "9.9.1";
    state.prev = "9.8";
    state.bad = {"9.9.0"};
    return state;
}

void expect_empty(const InstallState& state) {
    EXPECT_EQ(state.installed, "");
    EXPECT_EQ(state.staged, "");
    EXPECT_EQ(state.prev, "");
    EXPECT_TRUE(state.bad.empty());
}

TEST_F(InstallStateFile, SavesTheDocumentedSevenLines) {
    InstallState state;
    state.installed = "2.4.0";
    state.prev = "2.3.1";
    state.bad = {"2.5.0"};
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n"
                                       "  \"bad\": [\n"
                                       "    \"2.5.0\"\n"
                                       "  ],\n"
                                       "  \"installed\": \"2.4.0\",\n"
                                       "  \"prev\": \"2.3.1\"\n"
                                       "}");
    bool temp_left = true;
    read_file(temp_file(), &temp_left);
    EXPECT_FALSE(temp_left);
}

TEST_F(InstallStateFile, SavesAllMembersInKeyOrder) {
    InstallState state;
    state.installed = "3.0";
    state.staged = "3.1";
    state.prev = "2.9";
    state.bad = {"3.0.5", "2.9.9", "3.0.5"};
    state.issued = 18446744073709551615u;
    state.bucket = 0;
    state.report = "https://r.example.com/r?a=\"1\"";
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n"
                                       "  \"bad\": [\n"
                                       "    \"3.0.5\",\n"
                                       "    \"2.9.9\",\n"
                                       "    \"3.0.5\"\n"
                                       "  ],\n"
                                       "  \"bucket\": 0,\n"
                                       "  \"installed\": \"3.0\",\n"
                                       "  \"issued\": 18446744073709551615,\n"
                                       "  \"prev\": \"2.9\",\n"
                                       "  \"report\": \"https://r.example.com/r?a=\\\"1\\\"\",\n"
                                       "  \"staged\": \"3.1\"\n"
                                       "}");
    InstallState loaded;
    ASSERT_TRUE(state_load(loaded));
    EXPECT_EQ(loaded.issued, state.issued);
    EXPECT_EQ(loaded.bucket, 0);
    EXPECT_EQ(loaded.report, state.report);
}

// The channel is kept with the time of the newest manifest of each channel followed; the
// default channel's stays in "issued", where a stub that knows no channels reads it.
TEST_F(InstallStateFile, KeepsTheChannelAndEachChannelsNewestManifest) {
    InstallState state;
    state.installed = "3.0";
    state.issued = 100;
    state.channel = "beta";
    state.note_issued("beta", 300);
    state.note_issued("beta", 200); // older: not kept
    EXPECT_EQ(state.issued_on("beta"), 300u);
    EXPECT_EQ(state.issued_on("nightly-2"), 0u);
    state.note_issued("nightly-2", 50);
    EXPECT_EQ(state.issued_on(""), 100u);
    state.note_issued("", 90); // older than the default channel's: not kept
    EXPECT_EQ(state.issued, 100u);
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n"
                                       "  \"channel\": \"beta\",\n"
                                       "  \"channelIssued\": {\n"
                                       "    \"beta\": 300,\n"
                                       "    \"nightly-2\": 50\n"
                                       "  },\n"
                                       "  \"installed\": \"3.0\",\n"
                                       "  \"issued\": 100\n"
                                       "}");
    InstallState loaded;
    ASSERT_TRUE(state_load(loaded));
    EXPECT_EQ(loaded.channel, "beta");
    EXPECT_EQ(loaded.channel_issued, state.channel_issued);
    EXPECT_EQ(loaded.issued, 100u);
}

// A channel name could end up in an address: one that is not a channel's is the default.
TEST_F(InstallStateFile, AChannelThatIsNoNameIsTheDefault) {
    InstallState state;
    for (const char* channel : {"\"../x\"", "\"Beta\"", "\"\"", "7", "[\"beta\"]", "\"a/b\"",
                                "\"123456789012345678901234567890123\""}) {
        const std::string text = std::string("{\"installed\": \"2.0\", \"channel\": ") + channel +
                                 ", \"channelIssued\": {\"beta\": 5, \"B\": 6, " +
                                 "\"x\": -1, \"y\": \"7\"}}";
        EXPECT_TRUE(load_from(text, state)) << text;
        EXPECT_EQ(state.channel, "") << text;
        ASSERT_EQ(state.channel_issued.size(), 1u) << text;
        EXPECT_EQ(state.channel_issued[0], std::make_pair(std::string("beta"), uint64_t{5}));
    }
}

// The bucket is read back as saved; one that is no whole number from 0 to 99 counts as
// not drawn, and is drawn again, once, and kept.
TEST_F(InstallStateFile, TheRolloutBucketIsDrawnOnceAndKept) {
    InstallState state;
    const struct {
        const char* value;
        int bucket;
    } cases[] = {{"0", 0},    {"99", 99},    {"57", 57},   {"100", -1},  {"-1", -1},
                 {"5.0", -1}, {"\"5\"", -1}, {"true", -1}, {"null", -1}, {"1e1", -1}};
    for (const auto& c : cases) {
        const std::string text =
            std::string("{\"installed\": \"2.0\", \"bucket\": ") + c.value + "}";
        ASSERT_TRUE(load_from(text, state)) << text;
        EXPECT_EQ(state.bucket, c.bucket) << text;
    }
    ASSERT_TRUE(state_draw_bucket(state));
    const int drawn = state.bucket;
    EXPECT_TRUE(drawn >= 0 && drawn <= 99);
    ASSERT_TRUE(state_save(state));
    ASSERT_TRUE(state_draw_bucket(state));
    InstallState loaded;
    ASSERT_TRUE(state_load(loaded));
    EXPECT_EQ(loaded.bucket, drawn);
    EXPECT_EQ(state.bucket, drawn);
    // Drawn anew, buckets spread over the whole range.
    bool low = false, high = false;
    for (int i = 0; i < 200; ++i) {
        InstallState fresh;
        ASSERT_TRUE(state_draw_bucket(fresh));
        ASSERT_TRUE(fresh.bucket >= 0 && fresh.bucket <= 99);
        low = low || fresh.bucket < 50;
        high = high || fresh.bucket >= 50;
    }
    EXPECT_TRUE(low && high);
}

TEST_F(InstallStateFile, SavesOnlyInstalledAndEscapesAsJsonDoes) {
    InstallState state;
    state.installed = "1.0";
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n  \"installed\": \"1.0\"\n}");

    state.installed = "";
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n  \"installed\": \"\"\n}");
    InstallState loaded = filled();
    EXPECT_FALSE(state_load(loaded));
    expect_empty(loaded);

    // Non-ASCII stays as UTF-8 bytes; quotes, backslashes and controls are escaped.
    state.installed = "2.0 \xc3\xa9\xe6\x97\xa5 \"q\" \\ \t\x01";
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()),
              "{\n  \"installed\": \"2.0 \xc3\xa9\xe6\x97\xa5 \\\"q\\\" \\\\ \\t\\u0001\"\n}");
}

TEST_F(InstallStateFile, SaveThenLoadGivesTheSameRecord) {
    const InstallState saved = filled();
    ASSERT_TRUE(state_save(saved));
    InstallState loaded;
    ASSERT_TRUE(state_load(loaded));
    EXPECT_EQ(loaded.installed, saved.installed);
    EXPECT_EQ(loaded.staged, saved.staged);
    EXPECT_EQ(loaded.prev, saved.prev);
    EXPECT_EQ(loaded.bad, saved.bad);
}

// Each byte that starts no well-formed sequence becomes U+FFFD; well-formed ones of every
// length stay, so that whatever is saved loads back.
TEST_F(InstallStateFile, InvalidUtf8IsSavedReplacedNotFatal) {
    const std::string kFffd = "\xef\xbf\xbd";
    const struct {
        std::string saved, loaded;
    } cases[] = {
        {"1.0\xff", "1.0" + kFffd},
        {"\x80x", kFffd + "x"},                              // stray continuation byte
        {"\xc0\xaf", kFffd + kFffd},                         // overlong '/'
        {"\xe0\x80\xaf", kFffd + kFffd + kFffd},             // overlong, three bytes
        {"\xed\xa0\x80", kFffd + kFffd + kFffd},             // a surrogate
        {"\xf4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd}, // past U+10FFFF
        {"\xe6\x97", kFffd + kFffd},                         // cut short at the end
        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\x7f", "\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\x7f"},
        {std::string("a\0b\x1f", 4), std::string("a\0b\x1f", 4)},
    };
    for (const auto& c : cases) {
        InstallState state;
        state.installed = "1";
        state.prev = c.saved;
        ASSERT_TRUE(state_save(state));
        InstallState loaded;
        ASSERT_TRUE(state_load(loaded)) << read_file(state_file());
        EXPECT_EQ(loaded.prev, c.loaded) << read_file(state_file());
    }
}

TEST_F(InstallStateFile, UnloadableFilesGiveFalseAndAnEmptyRecord) {
    InstallState state = filled();
    EXPECT_FALSE(state_load(state)) << "no file";
    expect_empty(state);

    const char* unloadable[] = {
        "",
        "   \n",
        "[\"2.0\"]",
        "\"2.0\"",
        "null",
        "{}",
        "{\"installed\": \"2.0\"} // comment",
        "{\"installed\": \"2.0\"} /* comment */",
        "{\"installed\": \"2.0\"} x",
        "{\"installed\": \"2.0\"}{}",
        "{\"installed\": \"2.0\",}",
        "{\"installed\": \"2.0\"",
        "{\"installed\": 'x'}",
        "\xef\xbb\xbf",
        "\xef\xbb\xbf\xef\xbb\xbf{\"installed\": \"2.0\"}",
        "{\"installed\": \"2.0\xff\"}",
    };
    for (const char* json : unloadable) {
        state = filled();
        EXPECT_FALSE(load_from(json, state)) << json;
        expect_empty(state);
    }
    state = filled();
    EXPECT_FALSE(load_from(std::string("{\"installed\": \"2.0\"}\0", 21), state))
        << "NUL after the object";
    expect_empty(state);
}

TEST_F(InstallStateFile, ByteOrderMarkAndWhitespaceAreAccepted) {
    InstallState state;
    ASSERT_TRUE(load_from("\xef\xbb\xbf{\"installed\":\"2.0\",\"prev\":\"1.9\"}", state));
    EXPECT_EQ(state.installed, "2.0");
    EXPECT_EQ(state.prev, "1.9");

    ASSERT_TRUE(load_from("\r\n\t {\"installed\" : \"2.0\"} \r\n\t", state));
    EXPECT_EQ(state.installed, "2.0");
}

TEST_F(InstallStateFile, EmptyInstalledStillYieldsTheOtherMembers) {
    InstallState state;
    EXPECT_FALSE(load_from(R"({"installed": "", "staged": "2.1", "prev": "1.9",
                               "bad": ["2.0"]})",
                           state));
    EXPECT_EQ(state.installed, "");
    EXPECT_EQ(state.staged, "2.1");
    EXPECT_EQ(state.prev, "1.9");
    EXPECT_EQ(state.bad, std::vector<std::string>{"2.0"});

    EXPECT_FALSE(load_from(R"({"staged": "2.1"})", state));
    EXPECT_EQ(state.staged, "2.1");
}

TEST_F(InstallStateFile, BadKeepsOnlyStringElementsOfAnArray) {
    InstallState state;
    ASSERT_TRUE(load_from(R"({"installed": "2.0",
                              "bad": ["1.1", 2, null, "1.3", ["1.4"], {"v": "1.5"}, true, "1.1"]})",
                          state));
    EXPECT_EQ(state.bad, (std::vector<std::string>{"1.1", "1.3", "1.1"}));

    ASSERT_TRUE(load_from(R"({"installed": "2.0", "bad": "1.1"})", state));
    EXPECT_TRUE(state.bad.empty());
    EXPECT_FALSE(load_from(R"({"installed": "", "bad": "1.1"})", state));
    EXPECT_TRUE(state.bad.empty());
}

TEST_F(InstallStateFile, DeeplyNestedValuesNeitherCrashNorCount) {
    const size_t depth = 500000;
    InstallState state;
    ASSERT_TRUE(load_from("{\"installed\": \"2.0\", \"bad\": [\"1.0\", " + std::string(depth, '[') +
                              std::string(depth, ']') + "]}",
                          state));
    EXPECT_EQ(state.bad, std::vector<std::string>{"1.0"});
    EXPECT_FALSE(load_from(std::string(depth, '['), state));
}

TEST_F(InstallStateFile, WrongTypedMembersCountAsAbsent) {
    InstallState state;
    for (const char* value : {"2", "true", "null", "[\"2.0\"]", "{\"v\": \"2.0\"}", "2.0"}) {
        const std::string as_installed =
            std::string("{\"installed\": ") + value + ", \"staged\": \"3.0\", \"bad\": [\"1.0\"]}";
        EXPECT_FALSE(load_from(as_installed, state)) << as_installed;
        EXPECT_EQ(state.installed, "");
        EXPECT_EQ(state.staged, "3.0");
        EXPECT_EQ(state.bad, std::vector<std::string>{"1.0"});

        const std::string as_others = std::string("{\"installed\": \"2.0\", \"staged\": ") + value +
                                      ", \"prev\": " + value + "}";
        EXPECT_TRUE(load_from(as_others, state)) << as_others;
        EXPECT_EQ(state.installed, "2.0");
        EXPECT_EQ(state.staged, "");
        EXPECT_EQ(state.prev, "");
    }
    // The issue time seen is a whole number of seconds, or none.
    for (const char* value : {"-1", "1.5", "\"12\"", "true", "1e3", "18446744073709551616"}) {
        const std::string text = std::string("{\"installed\": \"2.0\", \"issued\": ") + value + "}";
        EXPECT_TRUE(load_from(text, state)) << text;
        EXPECT_EQ(state.issued, 0u) << text;
    }
}

TEST_F(InstallStateFile, UnknownKeysAreDroppedByTheNextSave) {
    InstallState state;
    ASSERT_TRUE(load_from(R"({"zeta": 1, "installed": "2.0", "mirror": "beta"})", state));
    ASSERT_TRUE(state_save(state));
    EXPECT_EQ(read_file(state_file()), "{\n  \"installed\": \"2.0\"\n}");
}

TEST_F(InstallStateFile, FailedSaveLeavesTheFileUntouched) {
    const std::string before = "{\n  \"installed\": \"1.0\"\n}";
    ASSERT_TRUE(write_file(state_file(), before));
    // The temporary file cannot be created where a folder of its name stands.
    ASSERT_TRUE(CreateDirectoryW(temp_file().c_str(), nullptr));
    EXPECT_FALSE(state_save(filled()));
    EXPECT_EQ(read_file(state_file()), before);
    EXPECT_TRUE(is_directory(temp_file()));
}

TEST_F(InstallStateFile, FailedRenameLeavesTheFileAndTheNextSaveRecovers) {
    // install.json replaced by a folder: the rename over it fails.
    ASSERT_TRUE(CreateDirectoryW(state_file().c_str(), nullptr));
    EXPECT_FALSE(state_save(filled()));
    EXPECT_TRUE(is_directory(state_file()));

    ASSERT_TRUE(RemoveDirectoryW(state_file().c_str()));
    InstallState next;
    next.installed = "4.0";
    ASSERT_TRUE(state_save(next));
    EXPECT_EQ(read_file(state_file()), "{\n  \"installed\": \"4.0\"\n}");
}

// A release rolled out to a percentage reaches the buckets below it, every bucket at 100,
// and none while the installation has not drawn one.
TEST(InstallState, ARolloutReachesTheBucketsBelowItsPercentage) {
    const struct {
        int bucket;
        uint32_t percent;
        bool reached;
    } cases[] = {
        {0, 1, true},    {1, 1, false},   {9, 10, true},   {10, 10, false},
        {49, 50, true},  {50, 50, false}, {98, 99, true},  {99, 99, false},
        {99, 100, true}, {0, 100, true},  {99, 150, true}, {-1, 99, false},
        {-1, 100, true}, {0, 0, false},   {57, 58, true},  {57, 57, false},
    };
    for (const auto& c : cases) {
        InstallState state;
        state.bucket = c.bucket;
        EXPECT_EQ(state.in_rollout(c.percent), c.reached) << c.bucket << " at " << c.percent;
    }
}

TEST(InstallState, IsBadMatchesExactEntriesOnly) {
    InstallState state;
    EXPECT_FALSE(state.is_bad("1.2"));
    EXPECT_FALSE(state.is_bad(""));
    state.bad = {"1.2", "2.0-Beta"};
    EXPECT_TRUE(state.is_bad("1.2"));
    EXPECT_TRUE(state.is_bad("2.0-Beta"));
    EXPECT_FALSE(state.is_bad("1.2.0"));
    EXPECT_FALSE(state.is_bad("1.2 "));
    EXPECT_FALSE(state.is_bad("2.0-beta"));
    EXPECT_FALSE(state.is_bad(""));
}

} // namespace
