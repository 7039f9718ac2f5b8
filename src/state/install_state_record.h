// InstallState, the record kept between runs, as a plain value: what install.json holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

struct InstallState {
    std::string installed;        // the committed version; empty: nothing installed
    std::string staged;           // downloaded and waiting for its trial start
    std::string prev;             // installed before the last commit
    std::vector<std::string> bad; // failed their trial, in order of failure; only grows
    // When the newest release manifest accepted on the default channel was issued, in UTC
    // seconds (0: none said); one issued before it is a replay. Only grows.
    uint64_t issued = 0;
    // The channel followed: empty for the default, else a name of channel_name_ok.
    std::string channel;
    // The same as `issued`, for each named channel the installation has followed: each
    // channel's manifests are signed in their own order.
    std::vector<std::pair<std::string, uint64_t>> channel_issued;
    // Where this installation falls in a staged rollout, 0 to 99, drawn once at random;
    // -1 while none has been drawn.
    int bucket = -1;
    // Where the newest manifest accepted asked for update reports; empty: nowhere. Kept
    // for the trial's end, which fetches no manifest.
    std::string report;

    // When the newest manifest accepted on channel `name` ("" the default) was issued.
    uint64_t issued_on(const std::string& name) const {
        for (const auto& entry : channel_issued) {
            if (entry.first == name) {
                return entry.second;
            }
        }
        return name.empty() ? issued : 0;
    }

    // Keeps `when` as channel `name`'s newest, unless one newer is kept already.
    void note_issued(const std::string& name, uint64_t when) {
        uint64_t* newest = name.empty() ? &issued : nullptr;
        for (auto& entry : channel_issued) {
            newest = entry.first == name ? &entry.second : newest;
        }
        if (newest == nullptr) {
            channel_issued.emplace_back(name, 0);
            newest = &channel_issued.back().second;
        }
        *newest = when > *newest ? when : *newest;
    }

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
