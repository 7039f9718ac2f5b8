// The named mutex "Local\BrindlewickUpdater": one process per logon at a time may
// stage a version, try a staged one, or install.
#pragma once

#include <windows.h>

// Takes the lock if no other process holds it, without waiting. Returns the handle to
// pass to updater_lock_release, or null when another holder has it or the mutex cannot
// be made.
HANDLE updater_lock_try();

// Takes the lock, waiting as long as another process holds it. A lock abandoned by a
// process that ended counts as taken. Null only when the mutex cannot be made or
// waited for.
HANDLE updater_lock_wait();

// Releases and closes a lock taken above; null does nothing.
void updater_lock_release(HANDLE lock);
