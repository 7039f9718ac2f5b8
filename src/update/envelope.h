// The signed envelope of latest.json: {"payload": Base64 of the manifest text,
// "sig": Base64 of an ECDSA P-256 signature (P1363, r then s) over the SHA-256 of the
// payload bytes}, checked against the public key built into the program.
#pragma once

#include <string>

// On success replaces `payload` with the verified manifest text and empties `error`.
// Any failure leaves `payload` alone and `error` at "manifest signature check failed".
bool manifest_unwrap(const std::string& text, std::string& payload, std::wstring& error);

// As manifest_unwrap, against the given key: 130 lowercase hexadecimal characters of
// an uncompressed P-256 point (04, X, Y).
bool manifest_unwrap_with_key(const std::string& text, const char* key_hex, std::string& payload,
                              std::wstring& error);
