#include "update/latest_manifest.h"

#include "update/envelope.h"
#include "update/transfer.h"
#include "update/update_source.h"

bool manifest_fetch_latest(Manifest& manifest, std::wstring& error) {
    std::string envelope;
    std::string payload;
    return http_get_text(update_base_url() + L"/latest.json", envelope, error) &&
           manifest_unwrap(envelope, payload, error) && manifest_parse(payload, manifest, error);
}
