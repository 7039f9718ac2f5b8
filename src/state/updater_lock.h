// The named mutex "Local\BrindlewickUpdater": one process per logon at a time may
// stage a version, try a staged one, install or tidy the install root.
#pragma once

#include <functional>
#include <string>

// Runs `work` holding the lock, if no other process holds it, without waiting. False,
// with `work` not run, when another holder has it or the lock cannot be made.
bool updater_lock_try(const std::function<void()>& work);

// How long the installer and an unattended removal wait for another process's check or
// trial to end: long enough for a slow download, short enough that a stuck one does not
// hold them for hours.
constexpr unsigned long kUpdaterLockWaitMs = 5 * 60 * 1000;

// Runs `work` holding the lock, waiting up to `wait_ms` for another holder to let go; a
// lock abandoned by a process that ended counts as taken. False, with `work` not run,
// when the wait runs out ("another update is still running") or the lock cannot be made
// ("cannot make the updater lock (error <code>)", say when an object of another kind
// holds its name): running without it could stage over another process's work.
bool updater_lock_wait(unsigned long wait_ms, const std::function<void()>& work,
                       std::wstring& error);
