#include "state/cng.h"

bool cng_sha256(const unsigned char* data, size_t size, unsigned char* digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!cng_succeeded(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    // BCryptHash takes a non-const input it never writes to.
    const bool hashed =
        cng_succeeded(BCryptHash(algorithm, nullptr, 0, const_cast<unsigned char*>(data),
                                 static_cast<ULONG>(size), digest, kSha256Size));
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hashed;
}

std::string sha256_hex(const unsigned char* digest) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * kSha256Size);
    for (size_t i = 0; i < kSha256Size; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return hex;
}
