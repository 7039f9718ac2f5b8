#include "update/user_proxy.h"

namespace {

std::wstring text_of(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// What detection or the script names for `url`: a proxy (in `proxy` and `bypass`), a
// direct connection, or nothing known (no script found, or one that failed).
enum class Answer { proxy, direct, unknown };

Answer ask_automatic(HINTERNET session, const std::wstring& url,
                     const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& settings, std::wstring& proxy,
                     std::wstring& bypass) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (settings.fAutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (settings.lpszAutoConfigUrl != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    Answer answer = Answer::unknown;
    if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
        const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                           info.lpszProxy != nullptr && *info.lpszProxy != L'\0';
        answer = named ? Answer::proxy : Answer::direct;
        if (named) {
            proxy = info.lpszProxy;
            bypass = text_of(info.lpszProxyBypass);
        }
    }
    if (info.lpszProxy != nullptr) {
        GlobalFree(info.lpszProxy);
    }
    if (info.lpszProxyBypass != nullptr) {
        GlobalFree(info.lpszProxyBypass);
    }
    return answer;
}

} // namespace

HINTERNET user_proxy_open(const wchar_t* agent, const std::wstring& url,
                          std::wstring& request_proxy, std::wstring& request_bypass) {
    request_proxy.clear();
    request_bypass.clear();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
    const bool known = WinHttpGetIEProxyConfigForCurrentUser(&settings) != FALSE;
    const bool automatic = known && (settings.fAutoDetect || settings.lpszAutoConfigUrl != nullptr);
    const bool fixed = known && settings.lpszProxy != nullptr && *settings.lpszProxy != L'\0';
    HINTERNET session = nullptr;
    if (fixed && !automatic) {
        session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, settings.lpszProxy,
                              settings.lpszProxyBypass != nullptr ? settings.lpszProxyBypass
                                                                  : WINHTTP_NO_PROXY_BYPASS,
                              0);
    }
    if (session == nullptr) {
        session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (session == nullptr) {
        // A system without the automatic proxy: its default proxy is the machine's, not
        // the user's, whose detection and script are asked here. A direct connection they
        // name stands; the fixed proxy takes over only where they cannot say, as the
        // settings mean.
        session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
        const Answer answer =
            session != nullptr && automatic
                ? ask_automatic(session, url, settings, request_proxy, request_bypass)
                : Answer::unknown;
        if (session != nullptr && answer == Answer::unknown && fixed) {
            request_proxy = settings.lpszProxy;
            request_bypass = text_of(settings.lpszProxyBypass);
        }
    }
    const DWORD code = GetLastError();
    for (wchar_t* text :
         {settings.lpszAutoConfigUrl, settings.lpszProxy, settings.lpszProxyBypass}) {
        if (text != nullptr) {
            GlobalFree(text);
        }
    }
    SetLastError(code);
    return session;
}
