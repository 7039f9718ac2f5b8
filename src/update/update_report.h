// Update reports: one request to the address a signed manifest names, telling the
// publisher what became of a release here, and nothing about who or where.
#pragma once

#include <string>

struct UpdateReport {
    std::string event;   // "staged", "committed", "rolled-back" or "failed"
    std::string version; // the release it is about
    std::string from;    // the version installed before it; may be empty
    std::string channel; // the channel followed; empty for the default
    int bucket = -1;     // the rollout bucket, 0 to 99; -1: none drawn
    std::string reason;  // why it failed or was rolled back; empty for the others
};

// `reason` as a report may carry it, naming no folder of the user's: `root` (the install
// root, whose path holds the user's name) becomes "<root>" and `profile` (the user's
// folder) "<profile>", each where not empty; then every word holding a backslash "<path>".
std::string report_reason(const std::string& reason, const std::string& root,
                          const std::string& profile);

// `address` with the report as its query, after "?" (after "&" where the address has a
// query already): event, version, from, channel, bucket and, when not empty, reason cut to
// its first 80 characters, each percent-encoded but for letters, digits and "-._~".
std::string report_address(const std::string& address, const UpdateReport& report);

// Sends the report: one GET, never tried again, given up after 5 seconds (the request may
// run on in the background until the process ends). Whatever the server answers is
// taken. False with "report address must be https", "no answer within 5 seconds", or a
// transfer's text.
bool report_send(const std::string& address, const UpdateReport& report, std::wstring& error);
