// The named mutex "Local\BrindlewickUpdater": one process per logon at a time may
// stage a version, try a staged one, or install.
#pragma once

#include <functional>

// Runs `work` holding the lock, if no other process holds it, without waiting. False,
// with `work` not run, when another holder has it.
bool updater_lock_try(const std::function<void()>& work);

// Runs `work` holding the lock, waiting as long as another process holds it; a lock
// abandoned by a process that ended counts as taken. When the mutex cannot be made at
// all, `work` runs without it: no other process can take it either.
void updater_lock_wait(const std::function<void()>& work);
