// Replacing the installed stub by the one a committed release ships.
#pragma once

#include <string>

// When app-<version>\updater.exe differs from <root>\updater.exe, makes it the stub
// (stub_swap_in) and logs it. On any failure the old stub stays in place, whole.
void self_upgrade(const std::string& version);
