// Moving an installation to another channel: "updater.exe /channel=NAME", and the
// installer's switch of the same name.
#pragma once

#include "state/install_state_record.h"

#include <string>

// Makes `state` follow channel `name` ("" for the default) and saves it; a version staged
// from the channel left is dropped (the record saved first, then its folder removed), for
// it is no release of the channel followed now. The version installed stays until the
// new channel announces a newer one: leaving a channel never downgrades. Logs the change.
// Callers hold the updater lock. False, with `error` set and the file unchanged, when the
// record could not be saved.
bool channel_follow(InstallState& state, const std::string& name, std::wstring& error);

// channel_follow on the record as it is on disk, waiting for the updater lock as an
// unattended installation does. Returns 0 once saved (or when it was followed already),
// 1 for a name that is no channel's or a record that cannot be read or saved, 3 when the
// lock was held elsewhere all the while or could not be made; each failure is logged.
int channel_switch(const std::string& name);
