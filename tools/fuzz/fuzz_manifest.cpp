// The release manifest, as the payload of a verified envelope.
#include "state/version.h"
#include "update/manifest.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Manifest manifest;
    std::wstring error;
    if (!manifest_parse(std::string(reinterpret_cast<const char*>(data), size), manifest, error)) {
        // A refusal always names its fault.
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    // What the flows build on: a version that orders and names a folder, an https
    // address and a digest of 64 digits.
    if (!ver_valid(manifest.version) || manifest.version.size() > 35 ||
        manifest.url.compare(0, 8, "https://") != 0 || manifest.sha256.size() != 64) {
        std::abort();
    }
    return 0;
}
