// The release the update server announces now.
#pragma once

#include "update/manifest.h"

#include <string>

// Fetches the channel's manifest, update_base_url() + "/latest.json" for the default
// channel (empty `channel`) and "/latest-<channel>.json" for another, verifies its
// envelope and parses the manifest into `manifest`. On failure `error` holds the failing
// step's text, "update address must be https" for a base that is not, or "manifest is
// for another channel" for one signed for another: one channel's manifest served in
// place of another's would move the installation between them.
bool manifest_fetch_latest(const std::string& channel, Manifest& manifest, std::wstring& error);
