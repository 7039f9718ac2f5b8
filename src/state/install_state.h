// The record kept between runs, stored as <root>\install.json.
#pragma once

#include "state/install_state_record.h"

#include <string>

// Replaces the record with the file's content. True only when the file holds a JSON
// object with a non-empty "installed". A member of the wrong type counts as absent.
bool state_load(InstallState& state);

// As state_load, but on failure leaves `state` as it was. For a process that read the
// record earlier and must now decide on what the file holds.
bool state_reload(InstallState& state);

// Writes the whole record through a temporary file, flushed to the disk, and a replacing
// rename; on failure install.json keeps its previous content, and `error` says why
// ("cannot save install.json (error N)", or the full disk's text of fs_room_error).
bool state_save(const InstallState& state, std::wstring& error);
// The same, for a caller that needs no reason.
bool state_save(const InstallState& state);

// Draws the installation's rollout bucket, 0 to 99, from the system's random numbers
// when the record has none yet (it does not save it). False, leaving it undrawn, when the
// system gives none.
bool state_draw_bucket(InstallState& state);
