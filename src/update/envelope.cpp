#include "update/envelope.h"

#include "build_config.h"
#include "state/cng.h"
#include "state/strict_json.h"
#include "update/release_json.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

const size_t kSignatureSize = 64;
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
bool key_blob(const char* key_hex, std::vector<unsigned char>& blob) {
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

int b64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
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

bool b64_decode(const std::string& text, std::vector<unsigned char>& bytes) {
    // Exactly one spelling of each byte string is accepted: the standard alphabet, the
    // length a multiple of four, at most two "=" and only at the end, and no bits set
    // past the last byte. The release tool reads by the same rule.
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    const size_t padding = text.compare(text.size() - 2, 2, "==") == 0  ? 2
                           : text.compare(text.size() - 1, 1, "=") == 0 ? 1
                                                                        : 0;
    const size_t digits = text.size() - padding;
    bytes.clear();
    bytes.reserve(digits * 3 / 4);
    uint32_t bits = 0;
    int pending = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int value = b64_value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            bytes.push_back(static_cast<unsigned char>(bits >> pending));
        }
    }
    return (bits & ((1u << pending) - 1)) == 0;
}

bool manifest_unwrap_with_key(const std::string& text, const char* key_hex, std::string& payload,
                              std::wstring& error) {
    error = L"manifest signature check failed";
    const nlohmann::json envelope = parse_release_json(text);
    if (!envelope.is_object()) {
        return false;
    }
    std::vector<unsigned char> bytes, signature, blob;
    unsigned char digest[kSha256Size];
    if (!b64_decode(json_string_member(envelope, "payload"), bytes) ||
        !b64_decode(json_string_member(envelope, "sig"), signature) ||
        signature.size() != kSignatureSize || !key_blob(key_hex, blob) ||
        !cng_sha256(bytes.data(), bytes.size(), digest) ||
        !signature_verifies(blob, digest, signature)) {
        return false;
    }
    payload.assign(bytes.begin(), bytes.end());
    error.clear();
    return true;
}

bool manifest_unwrap(const std::string& text, std::string& payload, std::wstring& error) {
    return manifest_unwrap_with_key(text, MANIFEST_KEY_HEX, payload, error);
}
