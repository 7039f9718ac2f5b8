// "updater.exe /check": the update check, run now for the application that asks.
#pragma once

#include "state/install_state_record.h"

// Exit codes of the command.
constexpr int kCheckNothingNew = 0; // nothing newer to stage
constexpr int kCheckFailed = 1;     // the check failed; its line is in the log
constexpr int kCheckBusy = 3;       // another installation or check held the updater lock
constexpr int kCheckDisabled = 4;   // the policy UpdatesDisabled turns updates off
constexpr int kCheckStaged = 10;    // a version waits for its trial, staged now or before,
                                    // whether this check failed or not

// Runs the background check (update_check) on the record in `state` and waits for it;
// runs nothing where the policy UpdatesDisabled turns updates off.
// When standard output is a pipe or a file, writes one line of JSON to it:
// {"installed": V, "staged": V, "latest": V, "error": TEXT}, each null when there is none
// ("staged" too when the lock was held elsewhere: it cannot be told then).
// Returns one of the exit codes above; never fails otherwise.
int check_command(InstallState& state);

// The same for an installation whose record cannot be read: the line says so, and the
// result is kCheckFailed.
int check_command_unreadable();
