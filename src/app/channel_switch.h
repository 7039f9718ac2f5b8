// "updater.exe /channel=NAME": moving an installation to another channel.
#pragma once

#include <string>

// Makes the record follow channel `name` ("" for the default) from the next check on,
// waiting for the updater lock as an unattended installation does. The version
// installed stays until the new channel announces a newer one: leaving a channel never
// downgrades. Returns 0 once saved (or when it was followed already), 1 for a name that
// is no channel's or a record that cannot be read or saved, 3 when another process held
// the lock all the while; each failure is logged.
int channel_switch(const std::string& name);
