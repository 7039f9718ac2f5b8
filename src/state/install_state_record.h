// InstallState, the record kept between runs, as a plain value: what install.json holds.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

struct InstallState {
    std::string installed;        // the committed version; empty: nothing installed
    std::string staged;           // downloaded and waiting for its trial start
    std::string prev;             // installed before the last commit
    std::vector<std::string> bad; // failed their trial, in order of failure; only grows

    bool is_bad(const std::string& version) const {
        return std::find(bad.begin(), bad.end(), version) != bad.end();
    }
};
