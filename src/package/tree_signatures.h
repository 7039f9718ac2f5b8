// Whether the program files of an unpacked release carry the publisher's Authenticode
// signature.
#pragma once

#include <string>
#include <vector>

// Accepts the unpacked release in `dir` when every program file below it, at any depth,
// carries a valid Authenticode signature by a signer the build pins. Program files are
// the program images, whatever their names (package/image_header.h: "MZ", and "PE\0\0"
// at the offset the DOS header names, within the file), as `images` lists them (paths
// relative to `dir`, as zip_extract_listing_images gives them), and every file named
// .exe or .dll in any letter case (one that is no image is refused as unsigned). The
// pins, PUBLISHER_CERT_SHA256, are a comma-separated list of SHA-256 digests in
// lowercase hexadecimal; an entry names the signer certificate by the digest of its DER
// encoding, or its public key by that of its SubjectPublicKeyInfo, which outlives a
// renewal that keeps the key. Without pins every tree is accepted unread.
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
// On refusal `error` names the first offending file, in the order of their paths,
// relative to `dir`: "unsigned file: lib\x.dll", "bad signature: brindlewick.exe"
// (changed after signing, damaged, or a fault the pin does not excuse), "signed by
// another publisher: brindlewick.exe"; or "cannot read the unpacked release" when a
// folder cannot be listed or a file read.
bool verify_tree_signatures(const std::wstring& dir, const std::vector<std::wstring>& images,
                            std::wstring& error);

// The same against `pin` (a list of digests as above, or empty for no check), for a
// tree whose images are not listed: the first bytes of every file tell them.
bool verify_tree_signatures_with_pin(const std::wstring& dir, const char* pin, std::wstring& error);

// The same against `pin`, for a tree whose images `images` lists.
bool verify_listed_signatures_with_pin(const std::wstring& dir,
                                       const std::vector<std::wstring>& images, const char* pin,
                                       std::wstring& error);
