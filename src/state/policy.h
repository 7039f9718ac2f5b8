// What administrators ask of every installation on a machine, or of one user's, through
// the policy keys; and the user's own refusal of update reports.
#pragma once

#include <string>

// Each member holds its default while its value is not set, or is ignored.
struct Policy {
    bool updates_disabled = false; // no check, no staging, no trial
    bool reports_disabled = false;
    std::string target_prefix; // 1 to 4 dot-separated whole numbers; empty: any version
    std::wstring update_url;   // the https folder of latest.json, no trailing "/"; empty: none
    bool channel_set = false;  // `channel` overrides the installation's own
    std::string channel;       // "" the default channel
};

// Reads HKLM\Software\Policies\Brindlewick, then the same key of HKCU for each value
// HKLM does not set: a value set by the machine wins over the user's. A value of the
// wrong type or malformed is ignored (the other key's may then apply) and logged as
// "policy NAME ignored (KEY): why". Keys that cannot be opened set nothing.
Policy policy_read();

// policy_read() once per process, at the first call; later calls give the same.
const Policy& policy_current();

// Whether `version` may be staged or installed: every version without a prefix; else
// one whose first numbers are the prefix's, compared as whole numbers ("2.3" holds
// "2.3" and "2.3.1", never "2.30"). A version that is none is never allowed.
bool policy_allows_version(const Policy& policy, const std::string& version);

// The channel to follow: the policy's where it sets one, else `own`.
std::string policy_channel(const Policy& policy, const std::string& own);

// Whether HKCU\Software\Brindlewick\ReportsDisabled is the DWORD 1: the user's own
// refusal of update reports. Anything else, or nothing readable, is no refusal.
bool user_reports_disabled();
