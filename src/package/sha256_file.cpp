#include "package/sha256_file.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>

namespace {

const size_t kDigestSize = 32;
const size_t kBufferSize = 64 * 1024;

bool ok(NTSTATUS status) {
    return status >= 0;
}

} // namespace

bool sha256_file(const std::wstring& path, std::string& hex) {
    static unsigned char buffer[kBufferSize];
    hex.clear();
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[kDigestSize];
    bool done = false;
    if (ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        ok(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        for (;;) {
            const size_t got = std::fread(buffer, 1, kBufferSize, file);
            if (got == 0) {
                // A read error is no end of file: the digest of part of a file is wrong.
                done = !std::ferror(file) && ok(BCryptFinishHash(hash, digest, kDigestSize, 0));
                break;
            }
            if (!ok(BCryptHashData(hash, buffer, static_cast<ULONG>(got), 0))) {
                break;
            }
        }
    }
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    std::fclose(file);
    if (!done) {
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    hex.reserve(2 * kDigestSize);
    for (unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return true;
}
