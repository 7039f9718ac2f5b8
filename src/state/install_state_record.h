// InstallState, the record kept between runs, as a plain value: what install.json holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct InstallState {
    std::string installed;        // the committed version; empty: nothing installed
    std::string staged;           // downloaded and waiting for its trial start
    std::string prev;             // installed before the last commit
    std::vector<std::string> bad; // failed their trial, in order of failure; only grows
    // When the newest release manifest accepted was issued, in UTC seconds (0: none said);
    // one issued before it is a replay. Only grows.
    uint64_t issued = 0;
    // Where this installation falls in a staged rollout, 0 to 99, drawn once at random;
    // -1 while none has been drawn.
    int bucket = -1;

    bool is_bad(const std::string& version) const {
        return std::find(bad.begin(), bad.end(), version) != bad.end();
    }

    // Whether a release offered to `percent` of the installations (1 to 100) reaches this
    // one: always at 100 and above, else when its bucket is below the percentage, so that
    // raising the percentage reaches those it did not. Never without a bucket.
    bool in_rollout(uint32_t percent) const {
        return percent >= 100 || (bucket >= 0 && static_cast<uint32_t>(bucket) < percent);
    }
};
