#include "state/updater_lock.h"

#include "state/win_err.h"

#include <windows.h>

namespace {

const wchar_t kMutexName[] = L"Local\\BrindlewickUpdater";

enum class Taken { yes, busy, unavailable };

Taken run_locked(DWORD wait_ms, const std::function<void()>& work, DWORD& failure) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex == nullptr) {
        failure = GetLastError();
        return Taken::unavailable;
    }
    // An abandoned mutex is ours all the same: its holder ended in the middle of its
    // work, and whoever holds it next clears what that left behind.
    const DWORD result = WaitForSingleObject(mutex, wait_ms);
    const bool held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    failure = result == WAIT_FAILED ? GetLastError() : 0;
    if (held) {
        work();
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    return held ? Taken::yes : result == WAIT_TIMEOUT ? Taken::busy : Taken::unavailable;
}

} // namespace

bool updater_lock_try(const std::function<void()>& work) {
    DWORD unused = 0;
    return run_locked(0, work, unused) == Taken::yes;
}

bool updater_lock_wait(unsigned long wait_ms, const std::function<void()>& work,
                       std::wstring& error) {
    DWORD failure = 0;
    switch (run_locked(wait_ms, work, failure)) {
    case Taken::yes:
        return true;
    case Taken::busy:
        error = L"another update is still running";
        return false;
    case Taken::unavailable:
        break;
    }
    error = win_err(L"cannot make the updater lock", failure);
    return false;
}
