#include "update/latest_manifest.h"

#include "state/channel_name.h"
#include "update/envelope.h"
#include "update/transfer.h"
#include "update/update_source.h"

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
