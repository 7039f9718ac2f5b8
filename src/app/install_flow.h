// The installer role's work: install the current release over whatever is there.
#pragma once

#include <cstdint>

// The worker run behind the progress window (`arg` is unused). Returns 0 once the
// release is installed and the application started. Refuses a release older than the
// version installed (says so in a box, starts the installed version, returns 2) and one
// that failed its trial here (a box; 1). On failure, a manifest that is stale or a replay
// among them, logs the reason, shows it in a box owned by the window and returns 1.
uint32_t install_worker(void* arg);
