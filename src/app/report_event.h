// Telling the publisher what became of a release here, where it asked and nobody refused.
#pragma once

#include "state/install_state_record.h"

#include <string>

// Sends the update report `event` ("staged", "committed", "rolled-back", "failed") about
// `version`, installed over `from`, with `reason` for a failure or a rollback, to the
// address the record keeps from the newest manifest, with the channel followed and the
// installation's bucket; a path in the reason is left out (report_reason). Sends nothing where no
// address is kept, or where the policy ReportsDisabled or the user's setting refuses reports. Takes
// at most 5 seconds; a report that fails is logged and dropped.
void report_event(const InstallState& state, const char* event, const std::string& version,
                  const std::string& from, const std::string& reason = std::string());
