// The updater role's second half: tidy the install root, look for a newer release and
// stage it, silently.
#pragma once

#include "state/install_state_record.h"

// Unless another process holds the updater lock: reloads `state` from install.json,
// removes what the record no longer names and what interrupted runs left, writes the
// entry in the list of programs again when it is behind the record, finishes a stub
// upgrade an earlier run could not, then fetches the announced release and, when it
// may be installed by this stub, is newer than the installed version, not on the bad
// list, not staged already and rolled out to this installation's bucket (drawn and saved the first
// time a rollout asks for it), stages it for the next start and records it in `state`. Every
// outcome worth knowing goes to the log; the user is never asked or told.
void update_check(InstallState& state);
