#include "package/sha256_stream.h"

#include "state/cng.h"

bool sha256_stream_open(Sha256Stream& stream) {
    return cng_succeeded(BCryptOpenAlgorithmProvider(&stream.algorithm, BCRYPT_SHA256_ALGORITHM,
                                                     nullptr, 0)) &&
           cng_succeeded(
               BCryptCreateHash(stream.algorithm, &stream.hash, nullptr, 0, nullptr, 0, 0));
}

bool sha256_stream_add(Sha256Stream& stream, const void* data, size_t size) {
    // CNG takes at most 4 GiB a call.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
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
    if (!cng_succeeded(BCryptFinishHash(stream.hash, digest, kSha256Size, 0))) {
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
