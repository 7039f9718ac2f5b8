#include "app/app_event.h"

#include "state/paths.h"
#include "state/spawn.h"
#include "state/text.h"
#include "state/update_log.h"

#include <windows.h>

namespace {

// Long enough to register a file type or a protocol, short enough that a handler that
// hangs holds up an update or a removal only briefly.
constexpr DWORD kEventMs = 15000;

const char* event_name(AppEvent event) {
    switch (event) {
    case AppEvent::installed:
        return "installed";
    case AppEvent::updated:
        return "updated";
    case AppEvent::uninstalling:
        return "uninstalling";
    }
    return "";
}

} // namespace

void app_event_run(AppEvent event, const std::string& version) {
    if (!file_exists(events_marker(version))) {
        return;
    }
    const char* name = event_name(event);
    const HANDLE handler = spawn(app_exe(version), L"--brindlewick-event=" + utf8_to_w(name) +
                                                       L" " + utf8_to_w(version));
    if (handler == nullptr) {
        log_line("event %s %s: not started (error %lu)", name, version.c_str(), GetLastError());
        return;
    }
    DWORD code = 0;
    if (spawn_wait_bounded(handler, kEventMs, code)) {
        log_line("event %s %s: exit code %lu", name, version.c_str(), code);
    } else {
        log_line("event %s %s: no end in 15 s, ended", name, version.c_str());
    }
    CloseHandle(handler);
}
