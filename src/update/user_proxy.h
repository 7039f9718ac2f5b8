// The proxy the current user's settings name (Internet Options), for WinHTTP.
#pragma once

#include <windows.h>

#include <winhttp.h>

#include <string>

// Opens a synchronous WinHTTP session for `agent` that goes through the proxy the current
// user's settings name for `url`. A fixed proxy (with its bypass list) is named to the
// session: WinHTTP's automatic proxy, which also follows it on Windows 8.1 and later,
// does not elsewhere (under Wine, say). Automatic detection and a configuration script
// are left to the automatic proxy; where the system has none (before Windows 8.1) they are
// asked for `url` here, and the proxy they name is set in `request_proxy` for the caller
// to give the request, its bypass list in `request_bypass`: empty when they name a direct
// connection, the fixed proxy when they cannot say. Null, with GetLastError's code, when
// no session can be opened.
HINTERNET user_proxy_open(const wchar_t* agent, const std::wstring& url,
                          std::wstring& request_proxy, std::wstring& request_bypass);
