#include "update/manifest.h"

#include "state/strict_json.h"
#include "state/version.h"

bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error) {
    const nlohmann::json object = parse_strict_json(text);
    if (!object.is_object()) {
        error = L"latest.json is not valid JSON";
        return false;
    }
    // A member of the wrong type fails the rule of its own key.
    bool bad_version = false, bad_url = false, bad_sha256 = false, bad_min_stub = false;
    manifest.version = json_string_member(object, "version", &bad_version);
    manifest.url = json_string_member(object, "url", &bad_url);
    manifest.sha256 = json_string_member(object, "sha256", &bad_sha256);
    manifest.minStub = json_string_member(object, "minStub", &bad_min_stub);
    Ver parsed;
    if (bad_version || manifest.version.empty() || !ver_parse(manifest.version, parsed)) {
        error = L"manifest: bad version";
    } else if (bad_url || manifest.url.compare(0, 8, "https://") != 0) {
        error = L"manifest: url must be https";
    } else if (bad_sha256 || manifest.sha256.size() != 64) {
        error = L"manifest: bad sha256";
    } else if (bad_min_stub) {
        error = L"manifest: bad minStub";
    } else {
        return true;
    }
    return false;
}
