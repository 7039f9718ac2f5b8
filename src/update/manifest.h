// The release manifest: the one release the update server announces.
#pragma once

#include <string>

struct Manifest {
    std::string version; // accepted by ver_parse
    std::string url;     // "https://" address of the package
    std::string sha256;  // 64 hexadecimal characters, either case
    std::string minStub; // oldest stub that may install it; empty for any
};

// Fills `manifest` from the verified payload and checks, in order, the version, the
// url's scheme and the digest's length; `error` names the first fault. A payload that
// is not a JSON object leaves `manifest` untouched.
bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error);
