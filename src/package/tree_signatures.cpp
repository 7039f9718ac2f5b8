#include "package/tree_signatures.h"

#include "build_config.h"
#include "state/cng.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/text.h"

#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

const wchar_t kUnsigned[] = L"unsigned file: ";
const wchar_t kBadSignature[] = L"bad signature: ";
const wchar_t kOtherPublisher[] = L"signed by another publisher: ";

// Chain faults that the pin makes irrelevant: it names the signer certificate or its key, so
// neither a trusted root above it, nor the order of the validity periods up there, nor a
// usage restriction adds anything the publisher did not choose.
const DWORD kExcusedChainFaults = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                  CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

const unsigned char kTagSequence = 0x30;
const unsigned char kTagVersion = 0xA0; // tbsCertificate's [0] EXPLICIT version

bool has_program_suffix(const std::wstring& rel) {
    if (rel.size() < 4) {
        return false;
    }
    const wchar_t* suffix = rel.c_str() + rel.size() - 4;
    return _wcsicmp(suffix, L".exe") == 0 || _wcsicmp(suffix, L".dll") == 0;
}

// One DER element at `at`, within `end`: its tag, where its contents begin and where it
// ends. False when it does not fit. A certificate's tags take one byte and its lengths
// at most four.
bool der_element(const unsigned char* at, const unsigned char* end, unsigned char& tag,
                 const unsigned char*& contents, const unsigned char*& next) {
    if (end - at < 2 || (at[0] & 0x1F) == 0x1F) {
        return false;
    }
    tag = at[0];
    contents = at + 2;
    size_t length = at[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(end - contents) < count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = length << 8 | *contents++;
        }
    }
    if (static_cast<size_t>(end - contents) < length) {
        return false;
    }
    next = contents + length;
    return true;
}

// The subjectPublicKeyInfo of a DER certificate as it is encoded there, the element
// after the optional version and five others in tbsCertificate: the bytes a pin of the
// public key is the SHA-256 of. Parsed here because the platform offers the key only
// decoded, and encoding it again could differ from what the publisher hashed.
bool public_key_info(const CERT_CONTEXT* certificate, const unsigned char*& begin, size_t& size) {
    const unsigned char* end = certificate->pbCertEncoded + certificate->cbCertEncoded;
    const unsigned char* contents = certificate->pbCertEncoded;
    const unsigned char* next = nullptr;
    unsigned char tag = 0;
    for (int level = 0; level < 2; ++level) { // Certificate, then tbsCertificate in it
        if (!der_element(contents, end, tag, contents, next) || tag != kTagSequence) {
            return false;
        }
        end = next;
    }
    int index = 0;
    for (const unsigned char* at = contents; der_element(at, end, tag, contents, next); at = next) {
        if (index == 0 && tag == kTagVersion) {
            continue;
        }
        if (index++ == 5) {
            begin = at;
            size = static_cast<size_t>(next - at);
            return tag == kTagSequence;
        }
    }
    return false;
}

// Whether the SHA-256 of `size` bytes at `data` is among the pins.
bool pinned(const unsigned char* data, size_t size, const std::vector<std::string>& pins) {
    unsigned char digest[kSha256Size];
    if (!cng_sha256(data, size, digest)) {
        return false;
    }
    const std::string hex = sha256_hex(digest);
    for (const std::string& pin : pins) {
        if (pin == hex) {
            return true;
        }
    }
    return false;
}

// What is wrong with the signer of a signature WinVerifyTrust found intact: nullptr when
// its certificate, or that certificate's public key, is pinned, on a chain without other
// faults.
const wchar_t* signer_problem(HANDLE state, const std::vector<std::string>& pins) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        provider == nullptr ? nullptr : WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pChainContext == nullptr) {
        return kBadSignature;
    }
    // The platform offers no SHA-256 of a certificate everywhere; its encoding is at hand.
    const CERT_CONTEXT* certificate = signer->pasCertChain[0].pCert;
    const unsigned char* key = nullptr;
    size_t key_size = 0;
    if (!pinned(certificate->pbCertEncoded, certificate->cbCertEncoded, pins) &&
        !(public_key_info(certificate, key, key_size) && pinned(key, key_size, pins))) {
        return kOtherPublisher;
    }
    const DWORD faults = signer->pChainContext->TrustStatus.dwErrorStatus;
    return (faults & ~kExcusedChainFaults) == 0 ? nullptr : kBadSignature;
}

// Why the file at `path` is refused, as the start of the error text; nullptr when its
// signature is valid and its signer pinned.
const wchar_t* signature_problem(const std::wstring& path, const std::vector<std::string>& pins) {
    // Read through a handle of ours, by a path of any length: the check opens nothing by
    // name, and nobody changes the file while it is read.
    const std::wstring extended = path_extended(path);
    const HANDLE opened = fs_open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (opened == INVALID_HANDLE_VALUE) {
        return kBadSignature;
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = extended.c_str();
    file.hFile = opened;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // The certificates the signature carries are enough for the pin: no network.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND no_user = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG status = WinVerifyTrust(no_user, &action, &data);
    const DWORD detail = GetLastError();
    const wchar_t* problem = kBadSignature;
    if (status == 0 || status == CERT_E_UNTRUSTEDROOT || status == CERT_E_CHAINING) {
        problem = signer_problem(data.hWVTStateData, pins);
    } else if (status == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        problem = kUnsigned; // not a program image at all, so nothing could sign it
    } else if (status == TRUST_E_NOSIGNATURE) {
        // The same status stands for a signature that is there but cannot be read; the
        // thread's last error tells the two apart.
        const bool none = detail == static_cast<DWORD>(TRUST_E_NOSIGNATURE) ||
                          detail == static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
                          detail == static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN);
        problem = none ? kUnsigned : kBadSignature;
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(no_user, &action, &data);
    CloseHandle(opened);
    return problem;
}

// The files below `dir` to check: those named as programs, and the images `images`
// lists. Sorted, so that the first refused does not depend on the order of either.
bool files_to_check(const std::wstring& dir, const std::vector<std::wstring>& images,
                    std::vector<std::wstring>& files) {
    const bool listed = walk_files(dir, [&](const std::wstring& rel) {
        // One that is no image is refused as unsigned: damaged, or named to be taken for
        // what it is not.
        if (has_program_suffix(rel)) {
            files.push_back(rel);
        }
        return true;
    });
    for (const std::wstring& rel : images) {
        if (!has_program_suffix(rel)) {
            files.push_back(rel);
        }
    }
    std::sort(files.begin(), files.end());
    return listed;
}

bool verify(const std::wstring& dir, const std::vector<std::wstring>& images, const char* pin,
            std::wstring& error) {
    if (*pin == '\0') {
        return true;
    }
    const std::vector<std::string> pins = text_split(pin, ',');
    std::vector<std::wstring> files;
    if (!files_to_check(dir, images, files)) {
        error = L"cannot read the unpacked release";
        return false;
    }
    for (const std::wstring& rel : files) {
        const wchar_t* problem = signature_problem(dir + L"\\" + rel, pins);
        if (problem != nullptr) {
            error = problem + rel;
            return false;
        }
    }
    return true;
}

} // namespace

bool verify_tree_signatures(const std::wstring& dir, const std::vector<std::wstring>& images,
                            std::wstring& error) {
    return verify(dir, images, PUBLISHER_CERT_SHA256, error);
}

bool verify_listed_signatures_with_pin(const std::wstring& dir,
                                       const std::vector<std::wstring>& images, const char* pin,
                                       std::wstring& error) {
    return verify(dir, images, pin, error);
}
