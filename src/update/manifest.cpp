#include "update/manifest.h"

#include "state/channel_name.h"
#include "state/hex_digest.h"
#include "state/strict_json.h"
#include "update/release_json.h"

#include <ctime>

namespace {

const size_t kComponentDigits = 8;
const size_t kMaxComponents = 4;

// Stricter than a version in install.json: a component longer than the eight digits
// that ordering reads could pass for another version, and an endless one could never
// name a folder.
bool release_version_ok(const std::string& version) {
    size_t components = 1;
    size_t digits = 0;
    for (const char c : version) {
        if (c == '.') {
            if (digits == 0 || ++components > kMaxComponents) {
                return false;
            }
            digits = 0;
        } else if (c < '0' || c > '9' || ++digits > kComponentDigits) {
            return false;
        }
    }
    return digits > 0;
}

// An address a request line can carry as it stands.
bool report_address_ok(const std::string& url) {
    if (url.compare(0, 8, "https://") != 0 || url.size() <= 8 || url.size() > 2048) {
        return false;
    }
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') {
            return false;
        }
    }
    return true;
}

// Absent: 0. Present: a whole number from 1 to 2^64 - 1, else `bad` is set.
uint64_t count_member(const nlohmann::json& object, const char* key, bool& bad) {
    const auto member = object.find(key);
    if (member == object.end()) {
        return 0;
    }
    const uint64_t size = member->is_number_unsigned() ? member->get<uint64_t>() : 0;
    bad = size == 0;
    return size;
}

// Absent: none. Present: an array of well-formed offers, each from a version of its own.
bool deltas_member(const nlohmann::json& object, std::vector<DeltaOffer>& deltas) {
    deltas.clear();
    const auto member = object.find("deltas");
    if (member == object.end()) {
        return true;
    }
    if (!member->is_array()) {
        return false;
    }
    for (const nlohmann::json& entry : *member) {
        if (!entry.is_object()) {
            return false;
        }
        bool bad = false;
        DeltaOffer offer;
        offer.from = json_string_member(entry, "from", &bad);
        offer.url = json_string_member(entry, "url", &bad);
        offer.sha256 = json_string_member(entry, "sha256", &bad);
        offer.size = count_member(entry, "size", bad);
        if (bad || !release_version_ok(offer.from) || offer.url.compare(0, 8, "https://") != 0 ||
            digest_lowercase(offer.sha256).empty() || offer.size == 0) {
            return false;
        }
        for (const DeltaOffer& earlier : deltas) {
            if (earlier.from == offer.from) {
                return false;
            }
        }
        deltas.push_back(offer);
    }
    return true;
}

} // namespace

bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error) {
    const nlohmann::json object = parse_release_json(text);
    if (!object.is_object()) {
        error = L"latest.json is not valid JSON";
        return false;
    }
    // A member of the wrong type fails the rule of its own key.
    bool bad_version = false, bad_url = false, bad_sha256 = false, bad_min_stub = false,
         bad_size = false, bad_issued = false, bad_expires = false, bad_rollout = false,
         bad_channel = false, bad_report = false;
    manifest.version = json_string_member(object, "version", &bad_version);
    manifest.url = json_string_member(object, "url", &bad_url);
    manifest.sha256 = json_string_member(object, "sha256", &bad_sha256);
    manifest.minStub = json_string_member(object, "minStub", &bad_min_stub);
    manifest.size = count_member(object, "size", bad_size);
    manifest.issued = count_member(object, "issued", bad_issued);
    manifest.expires = count_member(object, "expires", bad_expires);
    const uint64_t rollout = count_member(object, "rollout", bad_rollout);
    bad_rollout = bad_rollout || rollout > 100;
    manifest.rollout = rollout == 0 || bad_rollout ? 100 : static_cast<uint32_t>(rollout);
    const bool deltas_ok = deltas_member(object, manifest.deltas);
    manifest.channel = json_string_member(object, "channel", &bad_channel);
    bad_channel = bad_channel || (object.contains("channel") && !channel_name_ok(manifest.channel));
    manifest.report = json_string_member(object, "report", &bad_report);
    bad_report = bad_report || (object.contains("report") && !report_address_ok(manifest.report));
    if (bad_version || !release_version_ok(manifest.version)) {
        error = L"manifest: bad version";
    } else if (bad_url || manifest.url.compare(0, 8, "https://") != 0) {
        error = L"manifest: url must be https";
    } else if (bad_sha256 || digest_lowercase(manifest.sha256).empty()) {
        error = L"manifest: bad sha256";
    } else if (bad_min_stub) {
        error = L"manifest: bad minStub";
    } else if (bad_size) {
        error = L"manifest: bad size";
    } else if (bad_issued) {
        error = L"manifest: bad issued";
    } else if (bad_expires) {
        error = L"manifest: bad expires";
    } else if (bad_rollout) {
        error = L"manifest: bad rollout";
    } else if (!deltas_ok) {
        error = L"manifest: bad deltas";
    } else if (bad_channel) {
        error = L"manifest: bad channel";
    } else if (bad_report) {
        error = L"manifest: bad report";
    } else {
        return true;
    }
    return false;
}

bool manifest_is_current(const Manifest& manifest, uint64_t newest_seen, uint64_t now,
                         std::wstring& error) {
    if (manifest.issued != 0 && manifest.issued < newest_seen) {
        error = L"manifest is older than one already seen";
        return false;
    }
    // Written so that no sum can wrap around.
    if (manifest.expires != 0 && now > manifest.expires &&
        now - manifest.expires > kClockSkewSeconds) {
        error = L"manifest expired";
        return false;
    }
    return true;
}

bool manifest_is_current(const Manifest& manifest, uint64_t newest_seen, std::wstring& error) {
    const std::time_t now = std::time(nullptr);
    return manifest_is_current(manifest, newest_seen, now > 0 ? static_cast<uint64_t>(now) : 0,
                               error);
}

const DeltaOffer* manifest_delta_from(const Manifest& manifest, const std::string& version) {
    for (const DeltaOffer& offer : manifest.deltas) {
        if (offer.from == version) {
            return &offer;
        }
    }
    return nullptr;
}
