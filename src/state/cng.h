// What the code that hashes and verifies through CNG (bcrypt) shares.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>

// Bytes in a SHA-256 digest.
constexpr size_t kSha256Size = 32;

// True for a success or informational status.
inline bool cng_succeeded(NTSTATUS status) {
    return status >= 0;
}
