// The update client header, as an application that is not installed meets it; the
// installed case runs end to end (tests/app/test_app_commands.py).
#include "brindlewick/update_client.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdateClient, ReadsTheUpdatersLineOfJson) {
    using brindlewick::detail::json_member;
    const std::string line = R"({"installed": "1.0.0", "staged": null, "latest": "1.1.0", )"
                             R"("error": "a \"quoted\" \\ tab\t\u0041\u00e9"})";
    EXPECT_EQ(json_member(line, "installed"), "1.0.0");
    EXPECT_EQ(json_member(line, "staged"), "");
    EXPECT_EQ(json_member(line, "latest"), "1.1.0");
    EXPECT_EQ(json_member(line, "error"), "a \"quoted\" \\ tab\tA?");
    EXPECT_EQ(json_member(line, "missing"), "");
    EXPECT_EQ(json_member("", "installed"), "");
    EXPECT_EQ(json_member(R"({"error": "cut \)", "error"), "cut \\");
}

// The tests run from the build's bin folder, above which there is no updater.exe.
TEST(UpdateClient, OutsideAnInstallationNothingRunsAndEachCallSaysSo) {
    EXPECT_FALSE(brindlewick::runs_installed());
    const brindlewick::CheckResult result = brindlewick::check_now();
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.error, "not installed: no updater.exe above the application's folder");
    std::string error;
    EXPECT_FALSE(brindlewick::restart_to_update(&error));
    EXPECT_EQ(error, result.error);
}

struct Calls {
    HANDLE twice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LONG count = 0;
};

void count_call(const brindlewick::CheckResult& result, void* context) {
    Calls& calls = *static_cast<Calls*>(context);
    EXPECT_EQ(result.code, -1);
    if (InterlockedIncrement(&calls.count) == 2) {
        SetEvent(calls.twice);
    }
}

TEST(UpdateClient, APeriodicCheckCallsBackUntilStopped) {
    Calls calls;
    brindlewick::PeriodicCheck periodic;
    ASSERT_TRUE(periodic.start(count_call, &calls, 10, 0));
    EXPECT_FALSE(periodic.start(count_call, &calls, 10, 0)); // runs already
    ASSERT_EQ(WaitForSingleObject(calls.twice, 30000), WAIT_OBJECT_0);
    periodic.stop();
    const LONG after_stop = calls.count;
    periodic.stop(); // again: nothing to do
    // A long first delay is given up on at once when stopped.
    ASSERT_TRUE(periodic.start(count_call, &calls, 10, 0xFFFFFFFE));
    periodic.stop();
    EXPECT_EQ(calls.count, after_stop);
    CloseHandle(calls.twice);
}

} // namespace
