#include "update/latest_manifest.h"

#include "update/envelope.h"
#include "update/transfer.h"
#include "update/update_source.h"

namespace {

// "latest.json" for the default channel, else "latest-<name>.json" beside it.
std::wstring channel_manifest_name(const std::string& name) {
    // A name of a channel is ASCII: each of its characters widens as it is.
    return name.empty() ? L"latest.json"
                        : L"latest-" + std::wstring(name.begin(), name.end()) + L".json";
}

} // namespace

bool manifest_fetch_latest(const std::string& channel, Manifest& manifest, std::wstring& error) {
    const std::wstring base = update_base_url();
    // An override is held to the rule of every other address.
    if (base.compare(0, 8, L"https://") != 0) {
        error = L"update address must be https";
        return false;
    }
    std::string envelope;
    std::string payload;
    if (!http_get_text(base + L"/" + channel_manifest_name(channel), envelope, error) ||
        !manifest_unwrap(envelope, payload, error) || !manifest_parse(payload, manifest, error)) {
        return false;
    }
    if (manifest.channel != channel) {
        error = L"manifest is for another channel";
        return false;
    }
    return true;
}
