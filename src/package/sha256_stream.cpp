#include "package/sha256_stream.h"

#include "package/sha256_blocks.h"
#include "state/cng.h"

#include <cstring>

namespace {

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Adds bytes to a stream that hashes with the processor's instructions.
void add_own(Sha256Stream& stream, const unsigned char* bytes, size_t size) {
    if (size == 0) {
        return; // what is pending stays so
    }
    stream.length += size;
    if (stream.pending_size > 0) {
        const size_t taken = size < 64 - stream.pending_size ? size : 64 - stream.pending_size;
        std::memcpy(stream.pending + stream.pending_size, bytes, taken);
        stream.pending_size += taken;
        bytes += taken;
        size -= taken;
        if (stream.pending_size < 64) {
            return;
        }
        sha256_blocks(stream.state, stream.pending, 1);
        stream.pending_size = 0;
    }
    sha256_blocks(stream.state, bytes, size / 64);
    stream.pending_size = size % 64;
    if (stream.pending_size > 0) {
        std::memcpy(stream.pending, bytes + size - stream.pending_size, stream.pending_size);
    }
}

void finish_own(Sha256Stream& stream, unsigned char* digest) {
    // The padding: one bit, zeros to 56 bytes in the last block, the length in bits.
    const uint64_t bits = stream.length * 8;
    unsigned char tail[72] = {0x80};
    const size_t zeros = (stream.pending_size < 56 ? 56 : 120) - stream.pending_size;
    for (size_t i = 0; i < 8; ++i) {
        tail[zeros + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
    add_own(stream, tail, zeros + 8);
    for (size_t i = 0; i < 8; ++i) {
        for (size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<unsigned char>(stream.state[i] >> (24 - 8 * j));
        }
    }
}

} // namespace

bool sha256_stream_open(Sha256Stream& stream) {
    if (sha256_blocks_available()) {
        std::memcpy(stream.state, kInitialState, sizeof stream.state);
        stream.pending_size = 0;
        stream.length = 0;
        return true;
    }
    return cng_succeeded(BCryptOpenAlgorithmProvider(&stream.algorithm, BCRYPT_SHA256_ALGORITHM,
                                                     nullptr, 0)) &&
           cng_succeeded(
               BCryptCreateHash(stream.algorithm, &stream.hash, nullptr, 0, nullptr, 0, 0));
}

bool sha256_stream_add(Sha256Stream& stream, const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (stream.hash == nullptr) {
        add_own(stream, bytes, size);
        return true;
    }
    // CNG takes at most 4 GiB a call.
    while (size > 0) {
        const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (!cng_succeeded(
                BCryptHashData(stream.hash, const_cast<unsigned char*>(bytes), piece, 0))) {
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool sha256_stream_finish(Sha256Stream& stream, std::string& hex) {
    hex.clear();
    unsigned char digest[kSha256Size];
    if (stream.hash == nullptr) {
        finish_own(stream, digest);
    } else if (!cng_succeeded(BCryptFinishHash(stream.hash, digest, kSha256Size, 0))) {
        return false;
    }
    hex = sha256_hex(digest);
    return true;
}

void sha256_stream_close(Sha256Stream& stream) {
    if (stream.hash != nullptr) {
        BCryptDestroyHash(stream.hash);
        stream.hash = nullptr;
    }
    if (stream.algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(stream.algorithm, 0);
        stream.algorithm = nullptr;
    }
}
