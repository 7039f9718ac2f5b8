// The release manifest: the one release the update server announces.
#pragma once

#include <cstdint>
#include <string>

struct Manifest {
    std::string version; // 1 to 4 dot-separated runs of 1 to 8 digits
    std::string url;     // "https://" address of the package
    std::string sha256;  // 64 ASCII hexadecimal digits, either case
    std::string minStub; // oldest stub that may install it; empty for any
    uint64_t size = 0;   // the package's size in bytes; 0 when the manifest gives none
};

// Fills `manifest` from the verified payload and checks, in order, the version, the
// url's scheme, the digest, the stub version's type and the size; `error` names the
// first fault. A version is bounded (at most 35 characters) so that its folder name can
// always be made. A payload that is not a JSON object leaves `manifest` untouched.
bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error);
