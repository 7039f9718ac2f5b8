#include "state/updater_lock.h"

#include <windows.h>

namespace {

const wchar_t kMutexName[] = L"Local\\BrindlewickUpdater";

enum class Taken { yes, busy, unavailable };

Taken run_locked(DWORD wait_ms, const std::function<void()>& work) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex == nullptr) {
        return Taken::unavailable;
    }
    // An abandoned mutex is ours all the same: its holder ended in the middle of its
    // work, and whoever stages next clears the scratch names it used.
    const DWORD result = WaitForSingleObject(mutex, wait_ms);
    const bool held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    if (held) {
        work();
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    return held ? Taken::yes : result == WAIT_TIMEOUT ? Taken::busy : Taken::unavailable;
}

} // namespace

bool updater_lock_try(const std::function<void()>& work) {
    return run_locked(0, work) == Taken::yes;
}

void updater_lock_wait(const std::function<void()>& work) {
    if (run_locked(INFINITE, work) == Taken::unavailable) {
        work();
    }
}
