// Telling the application of its installation's events, for a package that asks for it.
#pragma once

#include <string>

enum class AppEvent {
    installed,    // after a first installation, before the first start
    updated,      // after a commit (or an installation over an older version)
    uninstalling, // before a removal deletes anything
};

// When app-<version> holds the marker (events_marker), runs its program with
// "--brindlewick-event=<event> <version>" in its folder and waits for it, at most 15
// seconds; past that it is ended. Its exit code, or why it did not run or end, goes to
// the log; nothing it does fails the caller's flow.
void app_event_run(AppEvent event, const std::string& version);
