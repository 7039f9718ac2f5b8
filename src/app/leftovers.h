// Clearing the install root of what interrupted runs and replaced versions left there.
#pragma once

#include "state/install_state_record.h"

// Removes from the root what `record` (as saved in install.json) no longer needs: every
// app-* folder but those of its installed, previous and staged versions, the scratch
// names of staging and of a stub swap, a temporary record, and the marks of failed trials
// but the staged version's; a version's folder left
// under its set-aside name during a replacement goes back first when the folder itself
// is missing. Best effort: what resists (a file in use) stays for the next call. Only
// for a caller that holds the updater lock and has saved `record`.
void leftovers_remove(const InstallState& record);
