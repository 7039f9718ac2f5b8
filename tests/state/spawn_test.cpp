#include "state/spawn.h"
#include "state/text.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(Spawn, QuotedPathAloneAndTheProgramsOwnFolder) {
    ScratchDir scratch(L"spawn");
    const std::wstring exe = scratch / L"app.exe";
    ASSERT_TRUE(place_fake_app(exe));

    EXPECT_EQ(run_to_end(exe, L""), 0u);
    // No trailing space after the closing quote.
    EXPECT_EQ(read_file(scratch / L"launches.txt"),
              "cmd=\"" + w_to_utf8(exe) + "\"\ncwd=" + w_to_utf8(scratch.path) + "\n");
}

TEST(Spawn, ArgumentsFollowVerbatimAfterOneSpace) {
    ScratchDir scratch(L"spawn");
    const std::wstring folder = scratch / L"with space \u00e9";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring exe = folder + L"\\app-exit7.exe";
    ASSERT_TRUE(place_fake_app(exe));

    EXPECT_EQ(run_to_end(exe, L"--a \"two words\""), 7u);
    EXPECT_EQ(read_file(folder + L"\\launches.txt"),
              "cmd=\"" + w_to_utf8(exe) + "\" --a \"two words\"\ncwd=" + w_to_utf8(folder) + "\n");
}

TEST(Spawn, ProgramAtTheTopOfADriveRunsInThatDrivesTopFolder) {
    const std::wstring exe = L"C:\\bw-spawn-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring record = L"C:\\launches.txt";
    DeleteFileW(record.c_str());
    ASSERT_TRUE(place_fake_app(exe));
    // "C:" alone would name the current folder on drive C, which is now elsewhere.
    ScratchDir scratch(L"spawn");
    wchar_t previous[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.path.c_str()));
    const DWORD code = run_to_end(exe, L"");
    SetCurrentDirectoryW(previous);
    const std::string launches = read_file(record);
    DeleteFileW(exe.c_str());
    DeleteFileW(record.c_str());
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(launches, "cmd=\"" + w_to_utf8(exe) + "\"\ncwd=C:\\\n");
}

TEST(Spawn, ReturnsBeforeTheChildEnds) {
    ScratchDir scratch(L"spawn");
    const std::wstring exe = scratch / L"app-sleep3000.exe";
    ASSERT_TRUE(place_fake_app(exe));
    const HANDLE process = spawn(exe, L"");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

TEST(Spawn, MissingProgramGivesNull) {
    ScratchDir scratch(L"spawn");
    EXPECT_EQ(spawn(scratch / L"missing.exe", L""), nullptr);
    EXPECT_EQ(spawn(scratch / L"no folder\\app.exe", L"--x"), nullptr);
}

} // namespace
