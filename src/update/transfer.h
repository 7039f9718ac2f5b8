// HTTPS transfers over WinHTTP: one GET per call, status 200 only.
//
// src/update builds on src/state only.
#pragma once

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// (bytes received so far, bytes announced or 0 when none were); may be empty.
using Progress = std::function<void(uint64_t, uint64_t)>;

// Splits `url`, opens the session, connection and request handles, sends a GET and
// accepts status 200 only. The handles are set whatever the outcome; the caller
// closes the non-null ones.
bool open_request(const std::wstring& url, HINTERNET& open_handle, HINTERNET& connection,
                  HINTERNET& request, std::wstring& error);

// The body, as received, of a resource of at most 1 MiB. A connection that breaks
// off ends the body; what arrived is the result.
bool http_get_text(const std::wstring& url, std::string& text, std::wstring& error);

// Downloads into `path` (its folder must exist). With a Content-Length announced the
// file must match it exactly; a failed download leaves no file.
bool http_get_file(const std::wstring& url, const std::wstring& path, const Progress& progress,
                   std::wstring& error);

// Reads the next piece of a body into `buffer`; false when the read fails.
using ChunkReader = std::function<bool(void* buffer, DWORD size, DWORD* got)>;

// The body loop of http_get_file, from the point where `path` is to be written: copies
// everything `read` gives into the file and keeps it only when it is complete. Apart so
// that bodies this platform's HTTP client will not deliver can be tested.
bool receive_file(const ChunkReader& read, const std::wstring& path, uint64_t announced,
                  const Progress& progress, std::wstring& error);
