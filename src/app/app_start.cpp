#include "app/app_start.h"

#include "state/paths.h"
#include "state/spawn.h"
#include "state/update_log.h"

HANDLE app_start(const std::string& version) {
    DWORD passing = 0;
    const HANDLE app = spawn_retrying(app_exe(version), L"", passing);
    const DWORD error = GetLastError();
    // Said even when the second try started it: a failure that passes is worth knowing
    // of, and would otherwise leave no trace.
    if (passing != 0) {
        log_line("start of %s failed (error %lu); tried again", version.c_str(), passing);
    }
    SetLastError(error);
    return app;
}
