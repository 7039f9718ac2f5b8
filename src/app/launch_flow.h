// The updater role's first half: start the application, giving a staged version its
// trial run and committing or rolling it back.
#pragma once

#include "state/install_state_record.h"

// Starts the installed version, or tries the staged one for 15 seconds: committed
// when it is still running or ended with exit code 0; rolled back (bad list, folder
// removed) when it ended with another code or could not start, and the installed
// version started instead. The trial runs under the updater lock on install.json as it
// is then; when another process holds the lock, the installed version starts and
// nothing changes. `state` is updated and saved at each change, always before a folder
// it no longer names is removed, and a trial ends with the root tidied (leftovers_remove);
// so does a start that finds the installed version's program missing, which may be back
// from its set-aside name. False only when nothing could be started; the user has then
// been told in a box.
bool launch_flow(InstallState& state);
