// The update server that the test run starts (tests/update/test_server.py).
#pragma once

#include "support/test_support.h"

#include <string>

// "https://localhost:<port>" + path, or "http://..." when `secure` is false.
inline std::wstring server_url(const std::wstring& path, bool secure = true) {
    const std::string port = read_file(
        bin_dir() + (secure ? L"\\..\\test-server\\https_port" : L"\\..\\test-server\\http_port"));
    return std::wstring(secure ? L"https" : L"http") + L"://localhost:" +
           std::wstring(port.begin(), port.end()) + path;
}

// The bodies the server makes up: byte i is i % 251.
inline std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

inline std::wstring update_fixture(const std::wstring& name) {
    return bin_dir() + L"\\..\\update-fixtures\\" + name;
}
