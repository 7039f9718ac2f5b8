// What the code that hashes and verifies through CNG (bcrypt) shares.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <string>

// Bytes in a SHA-256 digest.
constexpr size_t kSha256Size = 32;

// True for a success or informational status.
inline bool cng_succeeded(NTSTATUS status) {
    return status >= 0;
}

// The SHA-256 of `size` bytes at `data` into `digest`; false when CNG fails.
bool cng_sha256(const unsigned char* data, size_t size, unsigned char* digest);

// A digest as 64 lowercase hexadecimal characters, two per byte, high nibble first.
std::string sha256_hex(const unsigned char* digest);
