// Whether the program files of an unpacked release carry the publisher's Authenticode
// signature.
#pragma once

#include <string>

// Accepts the unpacked release in `dir` when every .exe and .dll below it, at any depth
// and in any letter case, carries a valid Authenticode signature whose signer certificate
// is the one the build pins (PUBLISHER_CERT_SHA256, the SHA-256 of its DER encoding).
// Without a pin every tree is accepted unread.
//
// Trust: the pin, not a certificate authority, is what this program trusts, so a
// publisher may sign with a certificate of its own making. A signature counts as valid
// when WinVerifyTrust finds the file intact and signed, and finds fault, if any, only
// with what lies above the pinned certificate or with its usage: a root that is not
// trusted (CERT_E_UNTRUSTEDROOT), a chain it cannot complete (CERT_E_CHAINING), a usage
// restriction. Every other fault is refused even then, so that an expired, revoked or
// distrusted certificate cannot pass under an untrusted root: a chain with several
// faults may be reported by its root alone. Revocation lists are not fetched; nothing
// goes to the network.
//
// On refusal `error` names the first offending file relative to `dir`: "unsigned file:
// lib\x.dll", "bad signature: brindlewick.exe" (changed after signing, damaged, or a fault
// the pin does not excuse), "signed by another publisher: brindlewick.exe"; or "cannot
// read the unpacked release" when a folder cannot be listed.
bool verify_tree_signatures(const std::wstring& dir, std::wstring& error);

// The same against `pin`: 64 lowercase hexadecimal characters, or empty for no check.
bool verify_tree_signatures_with_pin(const std::wstring& dir, const char* pin, std::wstring& error);
