#include "update/transfer.h"

#include "build_config.h"
#include "state/text.h"
#include "state/win_err.h"

namespace {

const DWORD kTextChunk = 16384;
const size_t kTextCap = 1048576;
const DWORD kFileChunk = 65536;

struct Handles {
    HINTERNET open_handle = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
};

void close_handles(Handles& handles) {
    if (handles.request != nullptr) {
        WinHttpCloseHandle(handles.request);
    }
    if (handles.connection != nullptr) {
        WinHttpCloseHandle(handles.connection);
    }
    if (handles.open_handle != nullptr) {
        WinHttpCloseHandle(handles.open_handle);
    }
}

std::wstring user_agent() {
    return L"BrindlewickSetup/" + utf8_to_w(STUB_VERSION);
}

// The Content-Length header as a number; 0 when there is none.
uint64_t announced_length(HINTERNET request) {
    wchar_t text[32] = L"";
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    const long long total = _wtoi64(text);
    return total > 0 ? static_cast<uint64_t>(total) : 0;
}

} // namespace

bool open_request(const std::wstring& url, HINTERNET& open_handle, HINTERNET& connection,
                  HINTERNET& request, std::wstring& error) {
    open_handle = connection = request = nullptr;
    wchar_t host[256];
    wchar_t path[1024];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        error = L"bad URL: " + url;
        return false;
    }
    const std::wstring agent = user_agent();
    open_handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (open_handle == nullptr) {
        open_handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (open_handle == nullptr) {
        error = win_err(L"WinHttpOpen failed", GetLastError());
        return false;
    }
    WinHttpSetTimeouts(open_handle, 10000, 10000, 30000, 30000);
    connection = WinHttpConnect(open_handle, host, parts.nPort, 0);
    if (connection == nullptr) {
        error = win_err(L"connect failed", GetLastError());
        return false;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (request == nullptr) {
        error = win_err(L"request failed", GetLastError());
        return false;
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        error = win_err(L"download failed", GetLastError());
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
        error = win_err(L"server returned HTTP", status);
        return false;
    }
    return true;
}

bool http_get_text(const std::wstring& url, std::string& text, std::wstring& error) {
    Handles h;
    if (!open_request(url, h.open_handle, h.connection, h.request, error)) {
        close_handles(h);
        return false;
    }
    text.clear();
    // Room for the cap and one chunk up front: the body never moves while it grows.
    text.reserve(kTextCap + kTextChunk);
    bool too_large = false;
    char chunk[kTextChunk];
    DWORD got = 0;
    while (WinHttpReadData(h.request, chunk, kTextChunk, &got) && got > 0) {
        text.append(chunk, got);
        if (text.size() > kTextCap) {
            too_large = true;
            break;
        }
    }
    close_handles(h);
    if (too_large) {
        error = L"manifest too large";
    }
    return !too_large;
}

bool receive_file(const ChunkReader& read, const std::wstring& path, uint64_t announced,
                  const Progress& progress, std::wstring& error) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        error = L"cannot write " + path;
        return false;
    }
    unsigned char buffer[kFileChunk];
    uint64_t received = 0;
    bool write_failed = false;
    DWORD got = 0;
    while (read(buffer, kFileChunk, &got) && got > 0) {
        if (std::fwrite(buffer, 1, got, file) != got) {
            write_failed = true;
            break;
        }
        received += got;
        if (progress) {
            progress(received, announced);
        }
    }
    // Bytes still buffered can fail to reach the disk here, too.
    write_failed = std::fclose(file) != 0 || write_failed;
    if (write_failed) {
        error = L"disk write failed";
    } else if (announced != 0 && received != announced) {
        error = L"download truncated";
    } else {
        return true;
    }
    DeleteFileW(path.c_str());
    return false;
}

bool http_get_file(const std::wstring& url, const std::wstring& path, const Progress& progress,
                   std::wstring& error) {
    Handles h;
    if (!open_request(url, h.open_handle, h.connection, h.request, error)) {
        close_handles(h);
        return false;
    }
    const uint64_t announced = announced_length(h.request);
    const HINTERNET request = h.request;
    const bool received = receive_file(
        [request](void* buffer, DWORD size, DWORD* got) {
            return WinHttpReadData(request, buffer, size, got) != FALSE;
        },
        path, announced, progress, error);
    close_handles(h);
    return received;
}
