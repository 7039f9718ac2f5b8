// A SHA-256 digest taken of bytes as they pass, piece by piece.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256Stream {
    // CNG's handles, where the processor lacks SHA instructions.
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Otherwise the digest so far, the bytes of an unfinished block and the length.
    uint32_t state[8] = {};
    unsigned char pending[64] = {};
    size_t pending_size = 0;
    uint64_t length = 0;
};

// Starts a digest; false when CNG cannot. Pair every call with sha256_stream_close.
bool sha256_stream_open(Sha256Stream& stream);

// Adds `size` bytes; false when CNG fails, after which the digest is worthless.
bool sha256_stream_add(Sha256Stream& stream, const void* data, size_t size);

// Sets `hex` to the digest of everything added, as 64 lowercase hexadecimal characters;
// false, with `hex` empty, when CNG fails. Adds nothing more after it.
bool sha256_stream_finish(Sha256Stream& stream, std::string& hex);

// Releases the handles, whatever state the stream is in.
void sha256_stream_close(Sha256Stream& stream);
