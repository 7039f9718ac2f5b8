#include "state/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, RoundTripsAcrossThePlanes) {
    // ASCII, Latin-1, CJK, and a character outside the basic plane (a surrogate pair).
    const std::string utf8 = "app-2.0 \xc3\xbc \xe6\x97\xa5 \xf0\x9f\x90\x88";
    const std::wstring wide = L"app-2.0 \u00fc \u65e5 \U0001F408";
    EXPECT_EQ(utf8_to_w(utf8), wide);
    EXPECT_EQ(w_to_utf8(wide), utf8);
}

TEST(Text, EmptyStaysEmptyAndEmbeddedNulsSurvive) {
    EXPECT_EQ(utf8_to_w(""), L"");
    EXPECT_EQ(w_to_utf8(L""), "");
    EXPECT_EQ(utf8_to_w(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Text, MalformedUtf8IsReplacedNotRejected) {
    const std::wstring wide = utf8_to_w("a\xff"
                                        "b");
    EXPECT_EQ(wide, L"a\uFFFDb");
}

TEST(Text, SplitKeepsEveryItemInOrderEmptyOnesToo) {
    using Items = std::vector<std::string>;
    EXPECT_EQ(text_split("", ','), Items{});
    EXPECT_EQ(text_split("a", ','), Items{"a"});
    EXPECT_EQ(text_split("ab,c", ','), (Items{"ab", "c"}));
    EXPECT_EQ(text_split("a,,b", ','), (Items{"a", "", "b"}));
    EXPECT_EQ(text_split(",a,", ','), (Items{"", "a", ""}));
    EXPECT_EQ(text_split(",", ','), (Items{"", ""}));
    EXPECT_EQ(text_split("a, b;c", ','), (Items{"a", " b;c"}));
}

} // namespace
