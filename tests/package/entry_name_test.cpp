#include "package/entry_name.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryName, NamesThatCouldEscapeOrAliasAreUnsafe) {
    const char* const unsafe[] = {
        "", "..", "../x", "a/../../x", "a/..", "/rooted", "C:/x", "c:x", "file.txt:stream",
        // Windows devices, in any folder, with any extension, any case, trailing spaces.
        "CON", "con", "con.txt", "sub/NUL.tar.gz", "AUX", "PRN.log", "COM0", "com9.txt", "LPT1",
        "lpt9.dat", "CONIN$", "conout$.txt", "NUL  .txt", "aux ", "COM\xC2\xB9", "lpt\xC2\xB3.txt",
        // Windows drops a trailing dot or space, so these would land on another name.
        "app.exe.", "trailing ", "dir./x", "dir /x", "...", "a/b./c"};
    for (const char* name : unsafe) {
        EXPECT_FALSE(entry_name_is_safe(name)) << '"' << name << '"';
    }
    // A NUL would end the name early, on another name.
    EXPECT_FALSE(entry_name_is_safe(std::string("evil.exe\0.txt", 12)));
}

TEST(EntryName, OrdinaryNamesAndHarmlessOddComponentsAreSafe) {
    const char* const safe[] = {"brindlewick.exe",
                                "a/b/c.dll",
                                "dir/",
                                "./x",
                                "a/./b",
                                "a//b",
                                "x..y",
                                "..hidden",
                                "a/..b/c",
                                "com10.txt",
                                "console.txt",
                                "lpt.txt",
                                "CONOUTX",
                                "nul_not.txt",
                                "COM",
                                "d\xC3\xA9j\xC3\xA0/r\xC3\xA9sum\xC3\xA9.txt",
                                ".gitignore"};
    for (const char* name : safe) {
        EXPECT_TRUE(entry_name_is_safe(name)) << '"' << name << '"';
    }
}

} // namespace
