#include "update/envelope.h"

#include "build_config.h"
#include "state/cng.h"
#include "state/text.h"
#include "update/envelope_decode.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

const size_t kPointSize = 65;
const size_t kCoordinateSize = 32;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The key as the blob CNG imports: BCRYPT_ECCKEY_BLOB, then X and Y.
bool key_blob(const std::string& key_hex, std::vector<unsigned char>& blob) {
    if (key_hex.size() != 2 * kPointSize) {
        return false;
    }
    unsigned char point[kPointSize];
    for (size_t i = 0; i < kPointSize; ++i) {
        const int high = hex_digit(key_hex[2 * i]);
        const int low = high < 0 ? -1 : hex_digit(key_hex[2 * i + 1]);
        if (low < 0) {
            return false;
        }
        point[i] = static_cast<unsigned char>(high << 4 | low);
    }
    if (point[0] != 0x04) {
        return false;
    }
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = kCoordinateSize;
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&header);
    blob.assign(raw, raw + sizeof header);
    blob.insert(blob.end(), point + 1, point + kPointSize);
    return true;
}

bool signature_verifies(std::vector<unsigned char>& blob, unsigned char* digest,
                        std::vector<unsigned char>& signature) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!cng_succeeded(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    bool verified = false;
    if (cng_succeeded(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                          blob.data(), static_cast<ULONG>(blob.size()), 0))) {
        verified = BCryptVerifySignature(key, nullptr, digest, kSha256Size, signature.data(),
                                         static_cast<ULONG>(signature.size()), 0) == 0;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return verified;
}

} // namespace

bool manifest_unwrap_with_key(const std::string& text, const char* keys_hex, std::string& payload,
                              std::wstring& error) {
    error = L"manifest signature check failed";
    std::vector<unsigned char> bytes, signature, blob;
    unsigned char digest[kSha256Size];
    if (!envelope_decode(text, bytes, signature) ||
        !cng_sha256(bytes.data(), bytes.size(), digest)) {
        return false;
    }
    // Several keys are trusted while the publisher moves from one to the next: installed
    // programs that know both accept manifests signed either way.
    for (const std::string& key_hex : text_split(keys_hex, ',')) {
        if (key_blob(key_hex, blob) && signature_verifies(blob, digest, signature)) {
            payload.assign(bytes.begin(), bytes.end());
            error.clear();
            return true;
        }
    }
    return false;
}

bool manifest_unwrap(const std::string& text, std::string& payload, std::wstring& error) {
    return manifest_unwrap_with_key(text, MANIFEST_KEY_HEX, payload, error);
}
