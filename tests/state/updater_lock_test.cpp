// The updater lock held by another thread (a mutex belongs to a thread) and its name
// taken by an object of another kind.
#include "state/updater_lock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(UpdaterLock, AWaitIsBoundedAndNeverRunsWithoutTheLock) {
    const HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        updater_lock_try([&] {
            SetEvent(taken);
            WaitForSingleObject(release, 30000);
        });
    });
    ASSERT_EQ(WaitForSingleObject(taken, 30000), WAIT_OBJECT_0);
    int runs = 0;
    const auto work = [&] { ++runs; };
    std::wstring error;
    EXPECT_FALSE(updater_lock_try(work));
    EXPECT_FALSE(updater_lock_wait(300, work, error));
    EXPECT_EQ(error, L"another update is still running");
    SetEvent(release);
    holder.join();
    EXPECT_TRUE(updater_lock_wait(300, work, error));
    EXPECT_EQ(runs, 1);

    // A foreign object under the lock's name: no mutex can be made, and no work runs
    // without one.
    const HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, L"Local\\BrindlewickUpdater");
    ASSERT_NE(squatter, nullptr);
    EXPECT_FALSE(updater_lock_try(work));
    EXPECT_FALSE(updater_lock_wait(300, work, error));
    EXPECT_EQ(error, L"cannot make the updater lock (error 6)");
    EXPECT_EQ(runs, 1);
    CloseHandle(squatter);
    CloseHandle(release);
    CloseHandle(taken);
}

} // namespace
