// The switches an administrator gives the setup program.
#include "app/switches.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each switch counts only as a whole argument, in any letter case, quoted or not.
TEST(Switches, CountOnlyAsWholeArgumentsInAnyCase) {
    const struct {
        const wchar_t* command_line;
        bool quiet, launch, remove_settings, uninstall;
    } cases[] = {
        {nullptr, false, false, false, false},
        {L"", false, false, false, false},
        {L"/quiet", true, false, false, false},
        {L"  /QUIET\t/Launch ", true, true, false, false},
        {L"/uninstall /quiet /removesettings", true, false, true, true},
        {L"\"/quiet\" \"/launch\"", true, true, false, false},
        {L"/quietly /launcher x/quiet /quiet/ \"/quiet /launch\"", false, false, false, false},
        {L"/removesettings", false, false, true, false},
        {L"/Uninstall /quiet", true, false, false, true},
        {L"x/uninstall /uninstallnow", false, false, false, false},
    };
    for (const auto& c : cases) {
        const Switches switches = switches_parse(c.command_line);
        const std::wstring shown = c.command_line != nullptr ? c.command_line : L"(null)";
        EXPECT_EQ(switches.quiet, c.quiet) << shown;
        EXPECT_EQ(switches.launch, c.launch) << shown;
        EXPECT_EQ(switches.remove_settings, c.remove_settings) << shown;
        EXPECT_EQ(switches.uninstall, c.uninstall) << shown;
    }
}

// The application's commands to its stub, and the channel of an installation.
TEST(Switches, ReadTheStubsCommandsAndTheChannel) {
    Switches s = switches_parse(L"/CHECK /apply");
    EXPECT_TRUE(s.check);
    EXPECT_TRUE(s.apply);
    EXPECT_EQ(s.wait_pid, 0u);
    EXPECT_FALSE(s.channel_given);
    s = switches_parse(L"/apply /wait 4294967295");
    EXPECT_EQ(s.wait_pid, 4294967295u);
    // Not a process id: no wait of its own, and the argument is not read as a switch.
    for (const wchar_t* line : {L"/apply /wait 4294967296", L"/apply /wait -1", L"/apply /wait",
                                L"/apply /wait 12x", L"/apply /wait /check"}) {
        s = switches_parse(line);
        EXPECT_EQ(s.wait_pid, 0u) << line;
        EXPECT_TRUE(s.apply) << line;
        EXPECT_FALSE(s.check) << line;
    }
    s = switches_parse(L"/checked x/check /applying");
    EXPECT_FALSE(s.check);
    EXPECT_FALSE(s.apply);
    s = switches_parse(L"/Channel=beta-2");
    EXPECT_TRUE(s.channel_given);
    EXPECT_EQ(s.channel, "beta-2");
    s = switches_parse(L"\"/channel=\" /check");
    EXPECT_TRUE(s.channel_given);
    EXPECT_EQ(s.channel, "");
    EXPECT_TRUE(s.check);
    // Kept as given, to be refused by the flows; never read as another name.
    s = switches_parse(L"/channel=B\u00e9ta");
    EXPECT_EQ(s.channel, "B?ta");
    s = switches_parse(L"/channel /channels=x");
    EXPECT_FALSE(s.channel_given);
}

} // namespace
