// HTTPS transfers over WinHTTP: one GET per call, status 200 only. No transfer waits
// longer than 30 seconds for the server to move it on: not for the response headers as
// a whole, however slowly they come, nor for the next piece of a body. A body that comes
// slower than 60 KiB a minute is given up too.
//
// src/update builds on src/state only.
#pragma once

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <string>

// (bytes received so far, bytes expected or 0 when the size is not known); may be empty.
// Called with a strictly growing count: by http_get_file on the caller's thread as bytes
// arrive, at most every 50 ms; by receive_file for each piece.
using Progress = std::function<void(uint64_t, uint64_t)>;

// Splits `url`, opens the session, connection and request handles, sends a GET and
// accepts status 200 only. The handles are set whatever the outcome; the caller
// closes the non-null ones.
bool open_request(const std::wstring& url, HINTERNET& open_handle, HINTERNET& connection,
                  HINTERNET& request, std::wstring& error);

// Sends a GET and takes whatever status the server answers, in `status`, reading no
// body. Fails with open_request's texts for a request that could not be sent or got no
// answer.
bool http_get_status(const std::wstring& url, DWORD& status, std::wstring& error);

// The body, as received, of a resource of at most 1 MiB; without a Content-Length, the
// body ends where the server closes the connection. Fails with open_request's texts
// ("download failed (error 12002)" among them when the response headers have not all
// come within 30 seconds), "manifest too large", "download failed (error N)" when a
// read fails part-way (a connection reset, say), "download truncated" when the body is
// not as long as its Content-Length, "bad Content-Length" and "Content-Length headers
// disagree" as for http_get_file, and "download stalled" or "download too slow" as
// below.
bool http_get_text(const std::wstring& url, std::string& text, std::wstring& error);

// Downloads into `path` (its folder must exist). `size`, when not 0, is the size the
// file must have, as a signed manifest gives it: the download fails before it starts
// when the disk has less room ("not enough disk space") or the server announces
// another length ("download size differs from the manifest"), and as soon as more
// bytes arrive ("download truncated", as for fewer). Without it an announced length
// must be met, and nothing larger than the build's package size cap is accepted
// ("download too large"). A Content-Length that is no whole number ("bad
// Content-Length") or differs from another ("Content-Length headers disagree") fails
// too, and so does a body with no byte for 30 seconds ("download stalled") or slower
// than the floor ("download too slow"), a read that fails part-way ("download failed
// (error N)"), and open_request's failures as for http_get_text. A failed download
// leaves no file: one given up on goes with its handle when its thread lets go of it,
// at the latest when the process ends, complete or not, and is never deleted by name,
// for by then another process may be writing a file of that name (so on a file system
// that cannot delete a file with its handle, such a file stays, for the next download
// of the name to replace).
bool http_get_file(const std::wstring& url, const std::wstring& path, uint64_t size,
                   const Progress& progress, std::wstring& error);

// Downloads into `path` as http_get_file does, with its size rules, time-outs and texts,
// but a download that fails keeps what arrived, and the next call for `path` goes on
// from there. `validator_path` keeps the server's validator of those bytes (its entity
// tag when that is strong, else its Last-Modified): the call asks for the rest of that
// same representation only ("Range" with "If-Range"), appends what a 206 brings, and
// starts again from nothing on a 200, on a 416, or on a 206 whose Content-Range is not
// exactly the rest of the file (or whose total is not `size`). A file without a
// validator, or larger than `size`, starts again too; one exactly as large as `size`
// is taken as it stands, without a request. Within the call a dropped connection (a
// failed read, a body that ends early, a connection that cannot be made or is lost,
// but not a stall or a slow body) is tried again from where it stopped, up to four
// times, half a second apart and doubling. The file never grows past `size` (past
// the package size cap when `size` is 0). `resumed` tells whether the complete file
// holds bytes from before its last request, so that a caller whose digest check fails
// knows that a fetch from nothing may still succeed. `progress` counts the file's
// bytes, those kept included; it starts over when the server sends the whole file.
// Both files are written only while a handle on `path` that lets no other writer in is
// open, never by name while another process may be writing them ("download in use by
// another process" while one is): the validator is removed before the file is emptied
// and the new one written through to the disk before its first byte, so a kill at any
// point leaves a beginning of what the validator names, or no validator.
bool http_resume_file(const std::wstring& url, const std::wstring& path,
                      const std::wstring& validator_path, uint64_t size, const Progress& progress,
                      bool& resumed, std::wstring& error);

// What a body must bring: at least `min_bytes` in every `window_ms` from its start.
struct RateFloor {
    DWORD window_ms;
    uint64_t min_bytes;
};
extern const RateFloor kRateFloor;

// Reads the next piece of a body into `buffer`: at most `size` bytes, as many as have
// arrived. False when the read fails, with GetLastError saying why.
using ChunkReader = std::function<bool(void* buffer, DWORD size, DWORD* got)>;

// Claims a transfer's end for its caller, once: true while the caller still waits for
// the outcome, false once it has moved on. May be empty: the caller always waits.
using EndClaim = std::function<bool()>;

// The body loop of http_get_file, from the point where `path` is to be written: copies
// what `read` gives into the file and keeps it only when it is complete and
// `claim_end` agrees; until then the file goes with its handle. Fails, with no file
// left, with "cannot write <path>", "disk write failed", "download truncated",
// "download too large", "download stalled", "download too slow" or "download failed
// (error N)" as above, and "download given up" when `claim_end` refuses a complete
// file. `expected` is the size it must have (0: not known, any size up to `limit` is
// complete). Apart so that bodies this platform's HTTP client will not deliver can be
// tested.
bool receive_file(const ChunkReader& read, const std::wstring& path, uint64_t expected,
                  uint64_t limit, const RateFloor& floor, const Progress& progress,
                  const EndClaim& claim_end, std::wstring& error);
