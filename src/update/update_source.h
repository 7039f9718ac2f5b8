// Where latest.json is fetched from.
#pragma once

#include <string>

// "https://" + the publisher's web host + "/appdata/brindlewick".
extern const char DEFAULT_BASE_URL[];

// The base URL, without a trailing slash unless an override brings one: the policy's
// UpdateUrl where one is set, else the value of BRINDLEWICK_UPDATE_URL verbatim when it
// holds 1 to 511 characters, else the default.
std::wstring update_base_url();
