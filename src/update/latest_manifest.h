// The release the update server announces now.
#pragma once

#include "update/manifest.h"

#include <string>

// Fetches update_base_url() + "/latest.json", verifies its envelope and parses the
// manifest into `manifest`. On failure `error` holds the failing step's text, or "update
// address must be https" for a base that is not.
bool manifest_fetch_latest(Manifest& manifest, std::wstring& error);
