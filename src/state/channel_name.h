// The names of update channels.
#pragma once

#include <string>

// Whether `name` may name a channel: 1 to 32 of a-z, 0-9 and "-". The default channel
// has no name (the empty text), which this does not accept.
bool channel_name_ok(const std::string& name);
