#include "package/tree_signatures.h"

#include "build_config.h"
#include "state/cng.h"
#include "state/file_tree.h"

#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>

namespace {

const wchar_t kUnsigned[] = L"unsigned file: ";
const wchar_t kBadSignature[] = L"bad signature: ";
const wchar_t kOtherPublisher[] = L"signed by another publisher: ";

// Chain faults that the pin makes irrelevant: it names the signer certificate itself, so
// neither a trusted root above it, nor the order of the validity periods up there, nor a
// usage restriction adds anything the publisher did not choose.
const DWORD kExcusedChainFaults = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                  CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

bool is_program_file(const std::wstring& rel) {
    if (rel.size() < 4) {
        return false;
    }
    const wchar_t* suffix = rel.c_str() + rel.size() - 4;
    return _wcsicmp(suffix, L".exe") == 0 || _wcsicmp(suffix, L".dll") == 0;
}

// What is wrong with the signer of a signature WinVerifyTrust found intact: nullptr when
// it is the pinned certificate on a chain without other faults.
const wchar_t* signer_problem(HANDLE state, const char* pin) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        provider == nullptr ? nullptr : WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pChainContext == nullptr) {
        return kBadSignature;
    }
    // The platform offers no SHA-256 of a certificate everywhere; its encoding is at hand.
    const CERT_CONTEXT* certificate = signer->pasCertChain[0].pCert;
    unsigned char digest[kSha256Size];
    if (!cng_sha256(certificate->pbCertEncoded, certificate->cbCertEncoded, digest)) {
        return kBadSignature;
    }
    if (sha256_hex(digest) != pin) {
        return kOtherPublisher;
    }
    const DWORD faults = signer->pChainContext->TrustStatus.dwErrorStatus;
    return (faults & ~kExcusedChainFaults) == 0 ? nullptr : kBadSignature;
}

// Why the file at `path` is refused, as the start of the error text; nullptr when its
// signature is valid and the pinned certificate's.
const wchar_t* file_problem(const std::wstring& path, const char* pin) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
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
        problem = signer_problem(data.hWVTStateData, pin);
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
    return problem;
}

} // namespace

bool verify_tree_signatures_with_pin(const std::wstring& dir, const char* pin,
                                     std::wstring& error) {
    if (*pin == '\0') {
        return true;
    }
    std::wstring refusal;
    const bool accepted = walk_files(dir, [&](const std::wstring& rel) {
        const wchar_t* problem =
            is_program_file(rel) ? file_problem(dir + L"\\" + rel, pin) : nullptr;
        if (problem != nullptr) {
            refusal = problem + rel;
        }
        return problem == nullptr;
    });
    if (!accepted) {
        error = refusal.empty() ? L"cannot read the unpacked release" : refusal;
    }
    return accepted;
}

bool verify_tree_signatures(const std::wstring& dir, std::wstring& error) {
    return verify_tree_signatures_with_pin(dir, PUBLISHER_CERT_SHA256, error);
}
