// The updater role's second half: tidy the install root, look for a newer release and
// stage it, silently.
#pragma once

#include "state/install_state_record.h"

#include <string>

// What a check came to.
struct CheckResult {
    bool ran = false;    // false: another process held the updater lock, nothing was done
    bool failed = false; // the check failed; `error` says why, as the log does
    std::string latest;  // the version announced; empty when no manifest was accepted
    std::wstring error;
};

// Unless another process holds the updater lock: reloads `state` from install.json,
// keeps to the channel it names (or the policy's),
// removes what the record no longer names and what interrupted runs left, writes the
// entry in the list of programs again when it is behind the record, finishes a stub
// upgrade an earlier run could not, then fetches the announced release, drops a staged
// version the publisher withdrew (the manifest announcing an older release, or no longer
// offering it to this installation's bucket; record first), and, when the release
// may be installed by this stub, is newer than the installed version, not on the bad
// list, not staged already, allowed by the policy's TargetVersionPrefix and rolled out to this
// installation's bucket (drawn and saved the first time a rollout asks for it), stages it for
// the next start and records it in `state`. The policy UpdatesDisabled stops it before the
// fetch. A staging, and one that failed, is reported where the manifest asks (report_event),
// once the lock is let go. Every outcome worth knowing goes to the log; the user is never
// asked or told. A check that finds the announced release not wanted (or not offered here
// yet) has not failed.
CheckResult update_check(InstallState& state);
