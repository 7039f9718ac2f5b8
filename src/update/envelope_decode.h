// The signed envelope of latest.json taken apart, before any signature check. Free of
// Windows calls, so that it also builds and is fuzzed natively.
#pragma once

#include <string>
#include <vector>

// Standard Base64 to bytes, in its one exact spelling: no blanks, exact padding, no
// stray bits. False for anything else, and for empty input.
bool b64_decode(const std::string& text, std::vector<unsigned char>& bytes);

// The payload bytes and the 64-byte signature of an envelope: a release JSON object
// whose "payload" and "sig" are Base64. False for anything else; the outputs are then
// unspecified.
bool envelope_decode(const std::string& text, std::vector<unsigned char>& payload,
                     std::vector<unsigned char>& signature);
