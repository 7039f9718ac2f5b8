#include "update/update_source.h"

#include "build_config.h"
#include "state/policy.h"
#include "state/text.h"

#include <windows.h>

const char DEFAULT_BASE_URL[] = "https://" BW_PUBLISHER_WEB_HOST "/appdata/brindlewick";

std::wstring update_base_url() {
    // An administrator's mirror comes before anything a user's environment says.
    const std::wstring& mirror = policy_current().update_url;
    if (!mirror.empty()) {
        return mirror;
    }
    wchar_t buffer[512];
    const DWORD length = GetEnvironmentVariableW(L"BRINDLEWICK_UPDATE_URL", buffer, 512);
    if (length >= 1 && length <= 511) {
        return std::wstring(buffer, length);
    }
    return utf8_to_w(DEFAULT_BASE_URL);
}
