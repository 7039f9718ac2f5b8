#include "package/sha256_file.h"

#include "state/cng.h"

#include <cstdio>
#include <cstdlib>

namespace {

const size_t kBufferSize = 64 * 1024;

} // namespace

bool sha256_file(const std::wstring& path, std::string& hex) {
    hex.clear();
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    // From the heap: too large for a worker thread's stack, and a static array would
    // weigh its full size in the executable with this compiler.
    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kBufferSize));
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[kSha256Size];
    bool done = false;
    if (buffer != nullptr &&
        cng_succeeded(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        cng_succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        for (;;) {
            const size_t got = std::fread(buffer, 1, kBufferSize, file);
            if (got == 0) {
                // A read error is no end of file: the digest of part of a file is wrong.
                done = !std::ferror(file) &&
                       cng_succeeded(BCryptFinishHash(hash, digest, kSha256Size, 0));
                break;
            }
            if (!cng_succeeded(BCryptHashData(hash, buffer, static_cast<ULONG>(got), 0))) {
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
    std::free(buffer);
    std::fclose(file);
    if (!done) {
        return false;
    }
    hex = sha256_hex(digest);
    return true;
}
