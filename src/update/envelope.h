// The signed envelope of latest.json: {"payload": Base64 of the manifest text,
// "sig": Base64 of an ECDSA P-256 signature (P1363, r then s) over the SHA-256 of the
// payload bytes}, checked against the public keys built into the program.
#pragma once

#include <string>

// On success, when the signature verifies under any of the keys the build trusts
// (MANIFEST_KEY_HEX), replaces `payload` with the verified manifest text and empties
// `error`. Any failure leaves `payload` alone and `error` at "manifest signature check
// failed".
bool manifest_unwrap(const std::string& text, std::string& payload, std::wstring& error);

// As manifest_unwrap, against the given keys: a comma-separated list of 130 lowercase
// hexadecimal characters each, an uncompressed P-256 point (04, X, Y). A malformed
// entry verifies nothing; the others still count. An empty list verifies nothing.
bool manifest_unwrap_with_key(const std::string& text, const char* keys_hex, std::string& payload,
                              std::wstring& error);
