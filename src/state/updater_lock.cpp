#include "state/updater_lock.h"

namespace {

const wchar_t kMutexName[] = L"Local\\BrindlewickUpdater";

HANDLE take(DWORD wait_ms) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex == nullptr) {
        return nullptr;
    }
    // An abandoned mutex is ours all the same: its holder ended in the middle of its
    // work, and the scratch names it used are cleared by whoever stages next.
    const DWORD result = WaitForSingleObject(mutex, wait_ms);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        return mutex;
    }
    CloseHandle(mutex);
    return nullptr;
}

} // namespace

HANDLE updater_lock_try() {
    return take(0);
}

HANDLE updater_lock_wait() {
    return take(INFINITE);
}

void updater_lock_release(HANDLE lock) {
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}
