// Watching a blocking transfer from the caller's thread, so that one that stops moving
// can be given up. WinHTTP's time-outs bound each read from the socket, so a server that
// sends a byte now and then holds a request for as long as it likes while the response
// headers, or the line that sizes a chunk, never end; and closing the handles does not
// free a thread waiting in such a call on every platform. A thread can always stop
// waiting for another, though.
//
// Used by the transfers in this folder only.
#pragma once

#include "update/transfer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The signs of life a watched transfer gives, from its own thread, and what its
// watcher made of it.
struct TransferPulse {
    std::atomic<uint64_t> last_tick{0}; // GetTickCount64 at the last one
    std::atomic<uint64_t> received{0};  // body bytes so far
    std::atomic<uint64_t> expected{0};  // the body's size, 0 when not known
    std::atomic<bool> in_body{false};   // the response headers are in
    std::atomic<int> outcome{0};        // running, given up on, or ending
};

// Notes that the headers are in, or that `received` bytes of the body are.
void pulse_beat(TransferPulse& pulse, uint64_t received, uint64_t expected);

// True once the watcher has given up: the transfer is to stop and undo what it made,
// for its caller has reported a failure and moved on.
bool pulse_given_up(const TransferPulse& pulse);

// Claims the transfer's result before it is kept, so that the watcher no longer gives
// up; false when it already has (the result is then to be undone).
bool pulse_claim_end(TransferPulse& pulse);

// A transfer to watch; `text` is where it may leave a body kept in memory.
using WatchedTransfer =
    std::function<bool(TransferPulse& pulse, std::string& text, std::wstring& error)>;

// Runs `transfer` on a thread of its own and returns its result and its `text`, calling
// `progress` (may be empty) on this thread as the body's byte count moves. When
// `silence_ms` (30 seconds unless said) pass without a sign of life it gives up at once:
// false with "download failed (error 12002)" (the time-out's number) before the headers
// are in, "download stalled" after, and `text` empty. A transfer given up on runs on until the
// platform lets go of it, so it must own everything it touches, and is then to undo its work (see
// pulse_given_up). False with "cannot start download" when no thread can be started.
bool transfer_watched(WatchedTransfer transfer, const Progress& progress, std::string& text,
                      std::wstring& error, uint64_t silence_ms = 30000);
