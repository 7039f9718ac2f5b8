// install.json's text to and from the record, without the file around it. Free of
// Windows calls, so that it also builds and is fuzzed natively.
#pragma once

#include "state/install_state_record.h"

#include <string>

// Replaces `state` with the record the text holds. True only for a strict JSON object
// with a non-empty "installed"; a member of the wrong type counts as absent.
bool state_from_json(const std::string& text, InstallState& state);

// The record as indented JSON with sorted keys; members left empty are left out, but
// for "installed". Invalid UTF-8 is replaced, never refused.
std::string state_to_json(const InstallState& state);
