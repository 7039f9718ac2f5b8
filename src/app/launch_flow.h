// The updater role's first half: start the application, giving a staged version its
// trial run and committing or rolling it back.
#pragma once

#include "state/install_state_record.h"

// Starts the installed version, or tries the staged one for 15 seconds: committed
// when it is still running or ended with exit code 0; rolled back (bad list, folder
// removed) when it ended with another code or could not start, and the installed
// version started instead. The trial runs under the updater lock on install.json as it
// is then; when another process holds the lock, the installed version starts and
// nothing changes. A commit tells the application ("updated", once the lock is let go). `state` is
// updated and saved at each change, always before a folder it no longer names is removed, and a
// trial ends with the root tidied (leftovers_remove); so does a start that finds the installed
// version's program missing, which may be back from its set-aside name. False only when nothing
// could be started; the user has then been told in a box. With `lock_wait_ms`, a held lock is
// waited for that long before the installed version starts in place of the staged one (logged
// then): a user who asked for a restart to update is owed the update when a check merely runs.
// A staged version the policies hold back (UpdatesDisabled, TargetVersionPrefix) stays staged
// and untried. A commit and a rollback, once saved, are reported where the newest manifest
// asked (report_event), after the lock is let go and the application started.
bool launch_flow(InstallState& state, unsigned long lock_wait_ms);

// How long a restart to update waits for another process's check or installation.
constexpr unsigned long kRestartLockWaitMs = 60 * 1000;
