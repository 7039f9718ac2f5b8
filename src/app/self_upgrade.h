// Replacing the installed stub by the one a committed release ships.
#pragma once

#include <string>

// When app-<version>\updater.exe differs from <root>\updater.exe, makes it the stub:
// copied beside it, checked, then swapped in, the running stub being moved to
// updater.old.exe. On any failure the old stub stays in place, or is put back, whole.
void self_upgrade(const std::string& version);
