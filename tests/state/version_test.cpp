#include "build_config.h"
#include "state/version.h"

#include <gtest/gtest.h>

namespace {

struct Parsed {
    const char* text;
    int parts[4];
};

TEST(Version, ParsesValidStringsIntoFourComponents) {
    const Parsed cases[] = {
        {"1", {1, 0, 0, 0}},
        {"1.2", {1, 2, 0, 0}},
        {"1.2.3.4", {1, 2, 3, 4}},
        {"01.002", {1, 2, 0, 0}},
        {"0.0.0.0", {0, 0, 0, 0}},
        {"99999999.0", {99999999, 0, 0, 0}},
        // Digits past the eighth of a component are ignored, so nothing overflows.
        {"1.123456789", {1, 12345678, 0, 0}},
        {"4294967296", {42949672, 0, 0, 0}},
        {"1.99999999999999999999.3", {1, 99999999, 3, 0}},
    };
    for (const Parsed& c : cases) {
        Ver v;
        ASSERT_TRUE(ver_parse(c.text, v)) << c.text;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(v.parts[i], c.parts[i]) << c.text << " component " << i;
        }
    }
}

TEST(Version, RejectsEverythingOutsideTheGrammar) {
    const char* invalid[] = {"",      "v1.2", "1..2",     ".1",   "1.",        "1.2-beta",
                             " 1.2",  "1.2 ", "+1.2",     "1,2",  "1.2.3.4.5", "-1",
                             "1.2.a", ".",    "1.2.3.4.", "1. 2", "\xc2\xb9"};
    for (const char* text : invalid) {
        Ver v;
        EXPECT_FALSE(ver_parse(text, v)) << '"' << text << '"';
    }
    // An embedded NUL is a character like any other, not an end of the text.
    Ver v;
    EXPECT_FALSE(ver_parse(std::string("1.2\0", 4), v));
}

TEST(Version, OrdersComponentsAsNumbers) {
    EXPECT_TRUE(ver_newer("1.10.0", "1.9.9"));
    EXPECT_FALSE(ver_newer("1.9.9", "1.10.0"));
    EXPECT_TRUE(ver_newer("1.2.0.1", "1.2"));
    EXPECT_TRUE(ver_newer("2", "1.99.99.99"));
    EXPECT_TRUE(ver_newer("1.0.0.1", "1"));
    for (const char* same : {"1.2", "1.2.0", "1.2.0.0", "01.002"}) {
        EXPECT_FALSE(ver_newer(same, "1.2")) << same;
        EXPECT_FALSE(ver_newer("1.2", same)) << same;
    }
    EXPECT_FALSE(ver_newer("1.123456789", "1.123456780"));
    EXPECT_FALSE(ver_newer("1.123456780", "1.123456789"));

    Ver a;
    Ver b;
    ASSERT_TRUE(ver_parse("3.1", a));
    ASSERT_TRUE(ver_parse("3.0.9", b));
    EXPECT_EQ(ver_cmp(a, b), 1);
    EXPECT_EQ(ver_cmp(b, a), -1);
    EXPECT_EQ(ver_cmp(a, a), 0);
}

TEST(Version, NothingIsNewerThanOrOlderThanAnInvalidVersion) {
    EXPECT_FALSE(ver_newer("2.0", "abc"));
    EXPECT_FALSE(ver_newer("abc", "1.0"));
    EXPECT_FALSE(ver_newer("2.0", ""));
    EXPECT_FALSE(ver_newer("", "1.0"));
}

TEST(Version, MinimumStubVersionAgainstOurOwn) {
    ASSERT_STREQ(STUB_VERSION, "1.1.0");
    EXPECT_FALSE(ver_newer("1.1.0", STUB_VERSION));
    EXPECT_FALSE(ver_newer("1.0.9", STUB_VERSION));
    EXPECT_TRUE(ver_newer("1.1.0.1", STUB_VERSION));
    EXPECT_TRUE(ver_newer("1.2", STUB_VERSION));
}

} // namespace
