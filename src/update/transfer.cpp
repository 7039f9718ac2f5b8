#include "update/transfer.h"

#include "build_config.h"
#include "state/fs.h"
#include "state/text.h"
#include "state/win_err.h"
#include "update/transfer_watch.h"
#include "update/user_proxy.h"

namespace {

const DWORD kTextChunk = 16384;
const size_t kTextCap = 1048576;
const DWORD kFileChunk = 65536;
// A dropped connection is tried again this many times within one call, after a pause
// that starts here and doubles: a server restarting or a link coming back gets a few
// seconds, a server that is gone costs no more than that.
const int kResumeRetries = 4;
const DWORD kResumeBackoffMs = 500;
// WinHTTP's receive time-out bounds each wait for body data; this bounds the wait for
// the whole response header, which the receive time-out alone leaves open on Wine.
const DWORD kResponseTimeoutMs = 30000;
// What Wine reports for a socket's time-out, where Windows says ERROR_WINHTTP_TIMEOUT.
const DWORD kSocketTimeout = 10060;

// Also what a transfer's own reads say once its watcher has given up on it.
bool timed_out(DWORD code) {
    return code == ERROR_WINHTTP_TIMEOUT || code == kSocketTimeout ||
           code == ERROR_OPERATION_ABORTED;
}

// Whether a request that failed with `code` may succeed when made again at once: not
// one that timed out (that took its 30 seconds already), nor one the server's certificate,
// a redirect or the address itself refused, which fail the same way every time.
bool dropped_connection(DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_WINHTTP_REDIRECT_FAILED:
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return false;
    default:
        return !timed_out(code);
    }
}

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

// Takes what has arrived and no more: a read for more than that waits until it has all
// come, so a slow body would neither move the progress nor meet the rate floor's check.
// A watched transfer's reads also stop once its watcher has given up on it.
ChunkReader arrived_data(HINTERNET request, const TransferPulse& pulse) {
    return [request, &pulse](void* buffer, DWORD size, DWORD* got) {
        *got = 0;
        if (pulse_given_up(pulse)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        return available == 0 ||
               WinHttpReadData(request, buffer, available < size ? available : size, got) != FALSE;
    };
}

// Reads a body through `read` until it ends. Each piece lands in `buffer` after the
// first `filled` bytes, which `take` sees and may keep for the next piece to follow (by
// leaving `filled` above 0), so that small pieces need not mean small writes. False,
// with `error` set, when the server went silent for the receive time-out, when a read
// failed otherwise (a connection reset, say: what came is not the body, and taking it
// for the body would have a network fault reported as a bad signature or digest), when
// a window of the body came slower than the floor, or when `take` refused a piece (it
// sets `error` itself).
bool read_body(const ChunkReader& read, unsigned char* buffer, DWORD size, const RateFloor& floor,
               const std::function<bool(DWORD& filled, DWORD got)>& take, std::wstring& error,
               bool* dropped = nullptr) {
    ULONGLONG window_start = GetTickCount64();
    uint64_t window_bytes = 0;
    DWORD filled = 0;
    for (;;) {
        DWORD got = 0;
        if (!read(buffer + filled, size - filled, &got)) {
            const DWORD code = GetLastError();
            error = timed_out(code) ? L"download stalled" : win_err(L"download failed", code);
            if (dropped != nullptr) {
                *dropped = dropped_connection(code);
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        window_bytes += got;
        const ULONGLONG elapsed = GetTickCount64() - window_start;
        if (elapsed >= floor.window_ms) {
            // The rate over the whole time that passed, however long one read took.
            if (window_bytes * floor.window_ms < floor.min_bytes * elapsed) {
                error = L"download too slow";
                return false;
            }
            window_start += elapsed;
            window_bytes = 0;
        }
        filled += got;
        if (!take(filled, got)) {
            return false;
        }
    }
}

// A whole number of bytes, digits only, blanks around them allowed.
bool parse_length(const std::wstring& text, uint64_t& value) {
    const size_t first = text.find_first_not_of(L" \t");
    const size_t last = text.find_last_not_of(L" \t");
    if (first == std::wstring::npos) {
        return false;
    }
    value = 0;
    for (size_t i = first; i <= last; ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9' || value > (UINT64_MAX - (c - L'0')) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return true;
}

// The announced length, 0 when there is none. A Content-Length that cannot be read, or
// several that disagree, fail the download: a wrong length would let a body cut short
// pass for complete.
bool announced_length(HINTERNET request, uint64_t& length, std::wstring& error) {
    length = 0;
    bool seen = false;
    for (DWORD index = 0;;) {
        DWORD bytes = 0;
        DWORD probe = index;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &bytes, &probe);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return true; // no further header of that name
        }
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &bytes, &index)) {
            return true;
        }
        text.resize(bytes / sizeof(wchar_t));
        uint64_t value = 0;
        if (!parse_length(text, value)) {
            error = L"bad Content-Length";
            return false;
        }
        if (seen && value != length) {
            error = L"Content-Length headers disagree";
            return false;
        }
        length = value;
        seen = true;
    }
}

std::wstring folder_of(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

// Why a write into `path` failed, with `still` bytes of the download left to write: a full
// disk says what it needs.
std::wstring write_failure(const std::wstring& path, uint64_t still) {
    return fs_disk_full(GetLastError()) ? fs_room_error(folder_of(path), still)
                                        : L"disk write failed";
}

// open_request with `headers` (CRLF-separated lines, may be empty) added to the GET, and
// any status accepted: `status` is what the server answered (0 when it could not be
// read). `dropped` is set when the request failed on the way (a connection that could
// not be made or was lost), not for a time-out.
bool send_get(const std::wstring& url, const std::wstring& headers, HINTERNET& open_handle,
              HINTERNET& connection, HINTERNET& request, DWORD& status, std::wstring& error,
              bool* dropped = nullptr) {
    open_handle = connection = request = nullptr;
    status = 0;
    wchar_t host[256];
    // The path and query fit in the URL: a signed address of any length is never cut.
    std::wstring path(url.size() + 1, L'\0');
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = &path[0];
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        error = L"bad URL: " + url;
        return false;
    }
    const std::wstring agent = user_agent();
    std::wstring proxy;
    std::wstring bypass;
    open_handle = user_proxy_open(agent.c_str(), url, proxy, bypass);
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
    request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (request == nullptr) {
        error = win_err(L"request failed", GetLastError());
        return false;
    }
    // Never quietly direct where the user's settings name a proxy: a network that allows
    // only the proxy would see a request it must not.
    WINHTTP_PROXY_INFO info = {WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(),
                               bypass.empty() ? nullptr : bypass.data()};
    if (!proxy.empty() && !WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info)) {
        error = win_err(L"cannot use the proxy", GetLastError());
        return false;
    }
    DWORD response_timeout = kResponseTimeoutMs;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout,
                     sizeof response_timeout);
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    if (!WinHttpSendRequest(request, extra, static_cast<DWORD>(headers.size()),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        const DWORD code = GetLastError();
        error = win_err(L"download failed", code);
        if (dropped != nullptr) {
            *dropped = dropped_connection(code);
        }
        return false;
    }
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return true;
}

// Writes what `read` gives to `file` at its current position, after the `have` bytes
// before it, until the body ends: complete when the file then holds `expected` bytes (0:
// any number up to `limit`). Bytes that came are written also when the body fails, so
// that a caller keeping the file keeps them. `dropped` is set when the connection failed
// or the body ended early, rather than the server going silent, slow or long, or the
// disk failing.
bool append_body(const ChunkReader& read, HANDLE file, const std::wstring& path, uint64_t have,
                 uint64_t expected, uint64_t limit, const RateFloor& floor,
                 const Progress& progress, std::wstring& error, bool* dropped = nullptr) {
    unsigned char buffer[kFileChunk];
    uint64_t received = have;
    DWORD pending = 0; // gathered in the buffer, not yet written
    uint64_t written = have;
    bool disk_failed = false;
    // Pieces gather in the buffer and go to the disk a full buffer at a time: a write of
    // each small piece as it comes would slow a fast download.
    const auto write = [&](DWORD bytes) {
        if (bytes > 0 && !fs_write_all(file, buffer, bytes)) {
            error = write_failure(path, (expected != 0 ? expected : received) - written);
            disk_failed = true;
            return false;
        }
        written += bytes;
        return true;
    };
    bool complete = read_body(
        read, buffer, kFileChunk, floor,
        [&](DWORD& filled, DWORD got) {
            // Refused at once: a body past its size is not to fill the disk first.
            if (received + got > (expected != 0 ? expected : limit)) {
                error = expected != 0 ? L"download truncated" : L"download too large";
                return false;
            }
            received += got;
            if (filled == kFileChunk) {
                if (!write(filled)) {
                    return false;
                }
                filled = 0;
            }
            pending = filled;
            if (progress) {
                progress(received, expected);
            }
            return true;
        },
        error, dropped);
    if (complete) {
        complete = write(pending);
    } else if (!disk_failed) {
        const std::wstring failure = error; // the body's own failure stands
        write(pending);
        error = failure;
    }
    if (complete && expected != 0 && received != expected) {
        error = L"download truncated";
        complete = false;
        if (dropped != nullptr) {
            *dropped = true;
        }
    }
    return complete;
}

// The text of a response header, empty when there is none.
std::wstring header_text(HINTERNET request, DWORD which) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &bytes, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) {
        return std::wstring();
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::wstring();
    }
    text.resize(bytes / sizeof(wchar_t));
    return text;
}

// A validator goes back to the server in a header line of ours: printable ASCII only,
// nothing that could end the line or start another.
const size_t kValidatorMax = 256;

bool validator_usable(const std::string& text) {
    if (text.empty() || text.size() > kValidatorMax) {
        return false;
    }
    for (const char c : text) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

// What names the representation being sent: its entity tag when that is a strong one
// (a weak tag may not ask for a range), else its modification time; empty when there is
// neither, and the download can then not be continued.
std::string response_validator(HINTERNET request) {
    const std::string tag = w_to_utf8(header_text(request, WINHTTP_QUERY_ETAG));
    if (validator_usable(tag) && tag.rfind("W/", 0) != 0) {
        return tag;
    }
    const std::string modified = w_to_utf8(header_text(request, WINHTTP_QUERY_LAST_MODIFIED));
    return validator_usable(modified) ? modified : std::string();
}

// The validator file holds the validator and a line end; one cut short by a crash has
// none, and counts as absent.
std::string read_validator(const std::wstring& path) {
    const HANDLE file = fs_open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    char text[kValidatorMax + 2];
    DWORD got = 0;
    const bool read = ReadFile(file, text, sizeof text, &got, nullptr) != FALSE;
    CloseHandle(file);
    if (!read || got < 2 || text[got - 1] != '\n') {
        return std::string();
    }
    const std::string validator(text, got - 1);
    return validator_usable(validator) ? validator : std::string();
}

// Written through to the disk before the first byte of what it names; one that cannot be
// written whole is removed, so that the download is merely not continued later.
void write_validator(const std::wstring& path, const std::string& validator) {
    const HANDLE file = fs_open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string line = validator + "\n";
    const bool written = fs_write_all(file, line.data(), line.size()) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!written) {
        fs_delete(path);
    }
}

bool remove_validator(const std::wstring& path) {
    return fs_delete(path);
}

// A 206's Content-Range must be the rest of the file from `have`: "bytes have-(total-1)/total".
bool range_is_rest(const std::wstring& text, uint64_t have, uint64_t& total) {
    const std::wstring unit = L"bytes ";
    if (text.compare(0, unit.size(), unit) != 0) {
        return false;
    }
    const size_t dash = text.find(L'-', unit.size());
    const size_t slash = text.find(L'/', unit.size());
    if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) {
        return false;
    }
    uint64_t first = 0;
    uint64_t last = 0;
    return parse_length(text.substr(unit.size(), dash - unit.size()), first) &&
           parse_length(text.substr(dash + 1, slash - dash - 1), last) &&
           parse_length(text.substr(slash + 1), total) && first == have && total > have &&
           last == total - 1;
}

// Empties the file and names what will fill it: the old validator goes before the
// bytes it named, the new one comes once the emptied file is on the disk, and before any
// byte it names. A kill in between leaves a file without a validator, never one with a
// validator of other bytes.
bool start_afresh(HANDLE file, const std::wstring& validator_path, const std::string& validator,
                  std::wstring& error) {
    const LARGE_INTEGER start = {};
    if (!remove_validator(validator_path) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(file) || !FlushFileBuffers(file)) {
        error = L"disk write failed";
        return false;
    }
    if (!validator.empty()) {
        write_validator(validator_path, validator);
    }
    return true;
}

// How one request of http_resume_file went, for the call that decides on another.
struct Attempt {
    bool dropped = false; // the connection failed: worth another request
    bool resumed = false; // the file kept bytes from before the request
};

// One request of http_resume_file, on the watched thread: continues the file from what
// it holds when its validator allows, else fetches it whole.
bool resume_attempt(const std::wstring& url, const std::wstring& path,
                    const std::wstring& validator_path, uint64_t size, TransferPulse& pulse,
                    Attempt& attempt, std::wstring& error) {
    // Held for the whole request, letting no other writer in: the validator file is read
    // and written only while this handle is open, so the two always agree.
    const HANDLE file =
        fs_open(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError() == ERROR_SHARING_VIOLATION ? L"download in use by another process"
                                                          : L"cannot write " + path;
        return false;
    }
    const uint64_t limit = size != 0 ? size : PACKAGE_SIZE_CAP;
    LARGE_INTEGER length = {};
    GetFileSizeEx(file, &length);
    uint64_t have = static_cast<uint64_t>(length.QuadPart);
    if (size != 0 && have == size) {
        // Complete already: a run that ended before it was used. Its digest decides.
        CloseHandle(file);
        attempt.resumed = true;
        pulse_beat(pulse, have, size);
        return true;
    }
    std::string validator = have > 0 && have < limit ? read_validator(validator_path) : "";
    if (validator.empty()) {
        have = 0;
    }
    bool done = false;
    for (;;) {
        Handles h;
        DWORD status = 0;
        std::wstring headers;
        if (have > 0) {
            headers = L"Range: bytes=" + utf8_to_w(std::to_string(have)) + L"-\r\nIf-Range: " +
                      utf8_to_w(validator);
        }
        if (!send_get(url, headers, h.open_handle, h.connection, h.request, status, error,
                      &attempt.dropped)) {
            close_handles(h);
            break;
        }
        uint64_t announced = 0;
        uint64_t total = 0;
        uint64_t offset = 0;
        if (have > 0 && status == 206) {
            // Only the rest of this very file continues it; anything else is asked for whole.
            if (!range_is_rest(header_text(h.request, WINHTTP_QUERY_CONTENT_RANGE), have, total) ||
                (size != 0 && total != size) || total > limit ||
                !announced_length(h.request, announced, error) ||
                (announced != 0 && announced != total - have)) {
                close_handles(h);
                have = 0;
                continue;
            }
            offset = have;
        } else if (have > 0 && status == 416) {
            close_handles(h);
            have = 0;
            continue;
        } else if (status != 200) {
            error = win_err(L"server returned HTTP", status);
            close_handles(h);
            break;
        } else {
            if (!announced_length(h.request, announced, error)) {
                close_handles(h);
                break;
            }
            if (size != 0 && announced != 0 && announced != size) {
                error = L"download size differs from the manifest";
                close_handles(h);
                break;
            }
            total = size != 0 ? size : announced;
            if (total > limit) {
                error = L"download too large";
                close_handles(h);
                break;
            }
        }
        // Given up on while the headers came: the file is not to be touched at all.
        if (pulse_given_up(pulse) ||
            (offset == 0 &&
             !start_afresh(file, validator_path, response_validator(h.request), error))) {
            close_handles(h);
            break;
        }
        LARGE_INTEGER position = {};
        position.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
            error = L"disk write failed";
            close_handles(h);
            break;
        }
        attempt.resumed = offset > 0;
        pulse_beat(pulse, offset, total);
        done = append_body(
            arrived_data(h.request, pulse), file, path, offset, total, limit, kRateFloor,
            [&pulse](uint64_t received, uint64_t expected) {
                pulse_beat(pulse, received, expected);
            },
            error, &attempt.dropped);
        close_handles(h);
        break;
    }
    // What came is to survive a power cut too, for the next run to continue; a file that
    // holds nothing goes with its handle, so that a download refused before its first
    // byte leaves no trace.
    if (!done) {
        GetFileSizeEx(file, &length);
        FILE_DISPOSITION_INFO dispose = {TRUE};
        if (length.QuadPart != 0 || !remove_validator(validator_path) ||
            !SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose)) {
            FlushFileBuffers(file);
        }
    }
    if (!CloseHandle(file) && done) {
        error = L"disk write failed";
        done = false;
    }
    return done;
}

} // namespace

const RateFloor kRateFloor = {60000, 60 * 1024};

bool open_request(const std::wstring& url, HINTERNET& open_handle, HINTERNET& connection,
                  HINTERNET& request, std::wstring& error) {
    DWORD status = 0;
    if (!send_get(url, std::wstring(), open_handle, connection, request, status, error)) {
        return false;
    }
    if (status != 200) {
        error = win_err(L"server returned HTTP", status);
        return false;
    }
    return true;
}

bool http_get_status(const std::wstring& url, DWORD& status, std::wstring& error) {
    Handles h;
    const bool sent =
        send_get(url, std::wstring(), h.open_handle, h.connection, h.request, status, error);
    close_handles(h);
    return sent;
}

bool http_get_text(const std::wstring& url, std::string& text, std::wstring& error) {
    const WatchedTransfer fetch = [url](TransferPulse& pulse, std::string& body,
                                        std::wstring& failure) {
        Handles h;
        uint64_t announced = 0;
        if (!open_request(url, h.open_handle, h.connection, h.request, failure) ||
            !announced_length(h.request, announced, failure)) {
            close_handles(h);
            return false;
        }
        pulse_beat(pulse, 0, 0);
        // Room for the cap and one chunk up front: the body never moves while it grows.
        body.reserve(kTextCap + kTextChunk);
        unsigned char chunk[kTextChunk];
        const bool read = read_body(
            arrived_data(h.request, pulse), chunk, kTextChunk, kRateFloor,
            [&](DWORD& filled, DWORD) {
                body.append(reinterpret_cast<const char*>(chunk), filled);
                filled = 0;
                pulse_beat(pulse, body.size(), 0);
                if (body.size() > kTextCap) {
                    failure = L"manifest too large";
                    return false;
                }
                return true;
            },
            failure);
        close_handles(h);
        // An announced length is the only sign that a body which ended without a fault
        // ended early; without one, the end of the connection is the end of the body.
        if (read && announced != 0 && body.size() != announced) {
            failure = L"download truncated";
            return false;
        }
        return read;
    };
    return transfer_watched(fetch, Progress(), text, error);
}

bool receive_file(const ChunkReader& read, const std::wstring& path, uint64_t expected,
                  uint64_t limit, const RateFloor& floor, const Progress& progress,
                  const EndClaim& claim_end, std::wstring& error) {
    const HANDLE file = fs_open(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"cannot write " + path;
        return false;
    }
    // Until it is complete the file goes with its handle, also when the process ends
    // while a download given up on still waits, and also when its caller has moved on:
    // the name may then be another process's, so the file is never deleted by name
    // unless the end is claimed, proving the caller still waits. A file system that will
    // not delete on close still gets the download, which then leaves its file only when
    // given up on (a later download of the name replaces it).
    FILE_DISPOSITION_INFO dispose = {TRUE};
    const bool disposed =
        SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
    bool claimed = false;
    bool ours = false;
    const auto end_is_ours = [&] {
        if (!claimed) {
            claimed = true;
            ours = !claim_end || claim_end();
        }
        return ours;
    };
    bool complete = append_body(read, file, path, 0, expected, limit, floor, progress, error);
    // Claimed while the file would still go with its handle: a caller that has moved on
    // never has a file kept for it.
    if (complete && !end_is_ours()) {
        error = L"download given up";
        complete = false;
    }
    bool goes_at_close = disposed;
    if (complete && disposed) {
        dispose.DeleteFile = FALSE;
        goes_at_close =
            !SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
        if (goes_at_close) {
            error = L"disk write failed";
            complete = false;
        }
    }
    // Bytes the system still holds can fail to reach the disk here, too.
    if (!CloseHandle(file) && complete) {
        error = L"disk write failed";
        complete = false;
    }
    // Only where the handle could not take the file along, and only while the name is
    // provably still this transfer's.
    if (!complete && !goes_at_close && end_is_ours()) {
        fs_delete(path);
    }
    return complete;
}

bool http_get_file(const std::wstring& url, const std::wstring& path, uint64_t size,
                   const Progress& progress, std::wstring& error) {
    if (size != 0 && !fs_room_for(folder_of(path), size, error)) {
        return false;
    }
    const WatchedTransfer fetch = [url, path, size](TransferPulse& pulse, std::string&,
                                                    std::wstring& failure) {
        Handles h;
        uint64_t announced = 0;
        bool done = open_request(url, h.open_handle, h.connection, h.request, failure) &&
                    announced_length(h.request, announced, failure);
        if (done && size != 0 && announced != 0 && announced != size) {
            failure = L"download size differs from the manifest";
            done = false;
        }
        const uint64_t expected = size != 0 ? size : announced;
        if (done && size == 0 && expected > PACKAGE_SIZE_CAP) {
            failure = L"download too large";
            done = false;
        }
        // Given up on while the headers came: the file is not to be made at all.
        done = done && !pulse_given_up(pulse);
        if (done) {
            pulse_beat(pulse, 0, expected);
            done = receive_file(
                arrived_data(h.request, pulse), path, expected,
                expected != 0 ? expected : PACKAGE_SIZE_CAP, kRateFloor,
                [&pulse](uint64_t received, uint64_t total) { pulse_beat(pulse, received, total); },
                [&pulse] { return pulse_claim_end(pulse); }, failure);
        }
        close_handles(h);
        return done;
    };
    std::string unused;
    return transfer_watched(fetch, progress, unused, error);
}

bool http_resume_file(const std::wstring& url, const std::wstring& path,
                      const std::wstring& validator_path, uint64_t size, const Progress& progress,
                      bool& resumed, std::wstring& error) {
    resumed = false;
    uint64_t have = 0; // none kept
    fs_size(path, have);
    if (size != 0 && have < size && !fs_room_for(folder_of(path), size - have, error)) {
        return false;
    }
    for (int retry = 0;; ++retry) {
        // The watched thread reports through the text, which its watcher hands back only
        // when the thread returned: one given up on can no longer change the outcome.
        const WatchedTransfer fetch = [url, path, validator_path, size](TransferPulse& pulse,
                                                                        std::string& report,
                                                                        std::wstring& failure) {
            Attempt attempt;
            const bool done =
                resume_attempt(url, path, validator_path, size, pulse, attempt, failure);
            report = std::string(attempt.dropped ? "d" : "") + (attempt.resumed ? "r" : "");
            return done;
        };
        std::string report;
        const bool done = transfer_watched(fetch, progress, report, error);
        if (done) {
            resumed = report.find('r') != std::string::npos;
            return true;
        }
        if (report.find('d') == std::string::npos || retry == kResumeRetries) {
            return false;
        }
        Sleep(kResumeBackoffMs << retry);
    }
}
