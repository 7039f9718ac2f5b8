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

    bool is_bad(const std::string& version) const {
        return std::find(bad.begin(), bad.end(), version) != bad.end();
    }
};
