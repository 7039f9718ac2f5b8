// The background check in this process, where its record can be made stale on purpose.
#include "app/update_check.h"
#include "state/paths.h"
#include "support/test_support.h"
#include "update/test_server.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// The check decides on install.json as it is once it holds the lock, not on the record
// its caller read at start-up: here another run has installed the announced release
// (2.0.1) meanwhile, so there is nothing to fetch, and nothing to log.
TEST(UpdateCheck, DecidesOnTheRecordAsItIsNow) {
    DeleteFileW(log_file().c_str());
    ASSERT_TRUE(write_file(state_file(), "{\"installed\": \"2.0.1\"}"));
    SetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", server_url(L"/files").c_str());
    InstallState loaded_at_start;
    loaded_at_start.installed = "1.0";

    update_check(loaded_at_start);

    EXPECT_EQ(loaded_at_start.installed, "2.0.1");
    EXPECT_EQ(read_file(log_file()), "");
    EXPECT_EQ(read_file(state_file()), "{\"installed\": \"2.0.1\"}");
    SetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", nullptr);
    DeleteFileW(state_file().c_str());
}

} // namespace
