// The update server that the test run starts (tests/update/test_server.py).
#pragma once

#include "support/test_support.h"

#include <windows.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

// "https://localhost:<port>" + path, or "http://..." when `secure` is false.
inline std::wstring server_url(const std::wstring& path, bool secure = true) {
    const std::string port = read_file(
        bin_dir() + (secure ? L"\\..\\test-server\\https_port" : L"\\..\\test-server\\http_port"));
    return std::wstring(secure ? L"https" : L"http") + L"://localhost:" +
           std::wstring(port.begin(), port.end()) + path;
}

// "https://localhost:<port>" + path of nginx, serving the update fixtures' www folder.
inline std::wstring nginx_url(const std::wstring& path) {
    const std::string port = read_file(bin_dir() + L"\\..\\test-server\\nginx_port");
    return L"https://localhost:" + std::wstring(port.begin(), port.end()) + path;
}

// (status, body bytes sent) of each response to `path` so far, in order, from the log
// of the tests' own server or, with `nginx`, of nginx.
inline std::vector<std::pair<int, uint64_t>> responses_to(const std::string& path,
                                                          bool nginx = false) {
    std::istringstream log(read_file(bin_dir() + (nginx ? L"\\..\\test-server\\nginx-responses.log"
                                                        : L"\\..\\test-server\\responses.log")));
    std::vector<std::pair<int, uint64_t>> found;
    int status = 0;
    uint64_t sent = 0;
    std::string logged;
    std::string range;
    while (log >> status >> sent >> logged >> range) {
        if (logged == path) {
            found.emplace_back(status, sent);
        }
    }
    return found;
}

// responses_to(path, nginx) once it holds `count` responses or more, or after 20 seconds:
// a server logs a response once it has sent it all, which may be after the client has
// read it all.
inline std::vector<std::pair<int, uint64_t>> responses_when(const std::string& path, size_t count,
                                                            bool nginx = false) {
    const ULONGLONG end = GetTickCount64() + 20000;
    auto found = responses_to(path, nginx);
    while (found.size() < count && GetTickCount64() < end) {
        Sleep(20);
        found = responses_to(path, nginx);
    }
    return found;
}

// The bodies the server makes up: byte i is i % 251.
inline std::string pattern(size_t size, size_t start = 0) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((start + i) % 251);
    }
    return bytes;
}

inline std::wstring update_fixture(const std::wstring& name) {
    return bin_dir() + L"\\..\\update-fixtures\\" + name;
}
