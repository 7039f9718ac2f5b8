// The names of update channels.
#include "state/channel_name.h"

#include <gtest/gtest.h>

namespace {

TEST(ChannelName, IsOneTo32OfLowercaseLettersDigitsAndDashes) {
    for (const char* name :
         {"beta", "a", "0", "-", "nightly-2026", "abcdefghijklmnopqrstuvwxyz012345"}) {
        EXPECT_TRUE(channel_name_ok(name)) << name;
    }
    for (const char* name : {"", "Beta", "beta.1", "../beta", "be ta", "b/eta", "b\\eta", "b_eta",
                             "abcdefghijklmnopqrstuvwxyz0123456", "b\xc3\xa9ta"}) {
        EXPECT_FALSE(channel_name_ok(name)) << name;
    }
}

} // namespace
