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

} // namespace
