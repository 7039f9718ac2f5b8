#include "update/manifest.h"

#include "state/strict_json.h"
#include "state/version.h"

namespace {

// Absent reads as empty. Present but not a string sets `wrong_type`.
std::string string_member(const nlohmann::json& object, const char* key, bool& wrong_type) {
    const auto member = object.find(key);
    if (member == object.end()) {
        return std::string();
    }
    if (!member->is_string()) {
        wrong_type = true;
        return std::string();
    }
    return member->get<std::string>();
}

} // namespace

bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error) {
    const nlohmann::json object = parse_strict_json(text);
    if (!object.is_object()) {
        error = L"latest.json is not valid JSON";
        return false;
    }
    // A member of the wrong type fails the rule of its own key.
    bool bad_version = false, bad_url = false, bad_sha256 = false, bad_min_stub = false;
    manifest.version = string_member(object, "version", bad_version);
    manifest.url = string_member(object, "url", bad_url);
    manifest.sha256 = string_member(object, "sha256", bad_sha256);
    manifest.minStub = string_member(object, "minStub", bad_min_stub);
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
