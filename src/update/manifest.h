// The release manifest: the one release the update server announces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A delta package the manifest offers to installations of one version: what turns that
// version's tree into the release's.
struct DeltaOffer {
    std::string from;   // the version it starts from
    std::string url;    // "https://" address of the delta package
    std::string sha256; // 64 ASCII hexadecimal digits, either case
    uint64_t size = 0;  // its size in bytes
};

struct Manifest {
    std::string version;            // 1 to 4 dot-separated runs of 1 to 8 digits
    std::string url;                // "https://" address of the package
    std::string sha256;             // 64 ASCII hexadecimal digits, either case
    std::string minStub;            // oldest stub that may install it; empty for any
    uint64_t size = 0;              // the package's size in bytes; 0 when the manifest gives none
    uint64_t issued = 0;            // when it was signed, in UTC seconds; 0 when it does not say
    uint64_t expires = 0;           // when it stops being valid, in UTC seconds; 0: never
    uint32_t rollout = 100;         // the percentage of installations it is offered to, 1-100
    std::vector<DeltaOffer> deltas; // at most one for each version it starts from
    std::string channel;            // the channel it was signed for; empty for the default
    std::string report;             // "https://" address update reports go to; empty: none
};

// Fills `manifest` from the verified payload and checks, in order, the version, the
// url's scheme, the digest, the stub version's type, the size and the times it was
// issued and expires (whole numbers from 1), the rollout (a whole number from 1 to 100;
// 100 when absent), and the delta offers (an array of objects
// each with a version "from" named once, an https "url", a "sha256" and a "size"), and
// the channel (absent, or a name of channel_name_ok), and the report address (absent, or
// an https address of at most 2048 characters with no space or control character);
// `error` names the first fault. A version is
// bounded (at most 35 characters) so that its folder name can always be made. A payload
// that is not a JSON object leaves `manifest` untouched.
bool manifest_parse(const std::string& text, Manifest& manifest, std::wstring& error);

// The offer of a delta from `version`, or null.
const DeltaOffer* manifest_delta_from(const Manifest& manifest, const std::string& version);

// How far a clock may be behind the publisher's before an expired manifest is refused.
constexpr uint64_t kClockSkewSeconds = 24 * 60 * 60;

// Whether a verified manifest may still be acted on at `now` (UTC seconds), by a program
// that has already accepted one issued at `newest_seen` (0: none): refused, as a replay
// meant to downgrade or to freeze the installation, when it was issued before that
// ("manifest is older than one already seen") or has expired more than a day ago
// ("manifest expired"). A manifest that does not say when it was issued passes.
bool manifest_is_current(const Manifest& manifest, uint64_t newest_seen, uint64_t now,
                         std::wstring& error);

// The same, now.
bool manifest_is_current(const Manifest& manifest, uint64_t newest_seen, std::wstring& error);
