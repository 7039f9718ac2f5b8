// Replacing the installed stub by the one a release ships.
#pragma once

#include <string>

// At a commit: when app-<version>\updater.exe differs from <root>\updater.exe and states
// a version no older than it (a stub whose version cannot be read counts as oldest),
// makes it the stub (stub_swap_in). Logs the upgrade, or that the new stub was refused;
// on any failure the old stub stays in place, whole.
void self_upgrade(const std::string& version);

// The same, but only when the shipped stub states a newer version than the one in
// place: a start that finds an upgrade an earlier run could not finish (ended by a
// crash, or the new stub refused) tries it again, so that releases needing the newer
// stub are not skipped for ever.
void self_upgrade_if_newer(const std::string& version);
