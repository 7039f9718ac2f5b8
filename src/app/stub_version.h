// The version a copy of this program states in its version resource.
#pragma once

#include "state/version.h"

#include <string>

// The file version of the executable at `path`, read from its version resource without
// running it. False when the file cannot be read as an executable with one.
bool stub_file_version(const std::wstring& path, Ver& version);

// The running program's own, as stub_file_version reads another's.
bool stub_own_version(Ver& version);

// True when the running program is what it says it is: its version resource states
// STUB_VERSION, the version it was built as. What a copy run with "/selfcheck" answers.
bool stub_self_check();
