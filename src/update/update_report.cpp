#include "update/update_report.h"

#include "state/text.h"
#include "state/win_err.h"
#include "update/transfer_watch.h"

#include <windows.h>

namespace {

const size_t kReasonCharacters = 80;
const DWORD kReportBoundMs = 5000;

void add_field(std::string& query, const char* name, const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    if (!query.empty()) {
        query += '&';
    }
    query += name;
    query += '=';
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
            query += c;
        } else {
            query += '%';
            query += kHex[byte >> 4];
            query += kHex[byte & 15];
        }
    }
}

// The first `count` characters of UTF-8 `text`, never half of one.
std::string first_characters(const std::string& text, size_t count) {
    size_t end = 0;
    for (size_t characters = 0; end < text.size(); ++end) {
        // A byte that does not continue a character starts one.
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && characters++ == count) {
            break;
        }
    }
    return text.substr(0, end);
}

void replace_all(std::string& text, const std::string& what, const char* with) {
    for (size_t at = what.empty() ? std::string::npos : text.find(what); at != std::string::npos;
         at = text.find(what, at)) {
        text.replace(at, what.size(), with);
    }
}

} // namespace

std::string report_reason(const std::string& reason, const std::string& root,
                          const std::string& profile) {
    std::string text = reason;
    // The root first: it lies in the profile.
    replace_all(text, root, "<root>");
    replace_all(text, profile, "<profile>");
    // What is left of a path (another folder's, a space in a name cutting it) goes word by
    // word.
    std::string scrubbed;
    size_t word = 0; // where the word being copied starts in `scrubbed`
    bool path = false;
    for (const char c : text) {
        if (c == ' ') {
            word = scrubbed.size() + 1;
            path = false;
        } else if (c == '\\' && !path) {
            scrubbed.resize(word);
            scrubbed += "<path>";
            path = true;
        }
        if (!path) {
            scrubbed += c;
        }
    }
    return scrubbed;
}

std::string report_address(const std::string& address, const UpdateReport& report) {
    std::string query;
    add_field(query, "event", report.event);
    add_field(query, "version", report.version);
    add_field(query, "from", report.from);
    add_field(query, "channel", report.channel);
    add_field(query, "bucket", report.bucket >= 0 ? std::to_string(report.bucket) : "");
    if (!report.reason.empty()) {
        add_field(query, "reason", first_characters(report.reason, kReasonCharacters));
    }
    return address + (address.find('?') == std::string::npos ? "?" : "&") + query;
}

bool report_send(const std::string& address, const UpdateReport& report, std::wstring& error) {
    if (address.compare(0, 8, "https://") != 0) {
        error = L"report address must be https";
        return false;
    }
    const std::wstring url = utf8_to_w(report_address(address, report));
    // Watched as every transfer is, with nothing to show for it but the answer: a report
    // that gives no sign of life for 5 seconds is given up on, and ends on its own.
    const WatchedTransfer send = [url](TransferPulse&, std::string&, std::wstring& failure) {
        DWORD status = 0;
        return http_get_status(url, status, failure);
    };
    std::string unused;
    if (transfer_watched(send, Progress(), unused, error, kReportBoundMs)) {
        return true;
    }
    if (error == win_err(L"download failed", ERROR_WINHTTP_TIMEOUT)) {
        error = L"no answer within 5 seconds";
    }
    return false;
}
