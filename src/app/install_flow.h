// The installer role's work: install the current release over whatever is there.
#pragma once

#include <cstdint>

// What the command line asks of an installation.
struct InstallRequest {
    bool launch = false; // start the application once installed
    // The channel to follow ("" the default), or null to keep the one the record names.
    const char* channel = nullptr;
};

// The worker run behind the progress window; `arg` points to the InstallRequest. Returns
// 0 once the release is installed (and the application started, as asked). Refuses a release older
// than the version installed (says so in a box, starts the installed version, returns 2) and one
// that failed its trial here (a box; 1). On failure, a manifest that is stale or a replay
// among them, logs the reason, shows it in a box owned by the window and returns 1.
uint32_t install_worker(void* arg);

// The same installation with no window and no box, for unattended deployment: what
// happens is in updater.log. Starts the application (or the newer version installed)
// only with `request.launch`. A channel name that is not one fails it (1). Returns 0 once
// installed, 2 when a newer version is installed, 3 when another process held the updater lock for
// five minutes, and 1 on any other failure, a withdrawn release included.
uint32_t install_quietly(const InstallRequest& request);
