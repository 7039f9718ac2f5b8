#include "update/transfer_watch.h"

#include "state/win_err.h"

#include <process.h>

#include <new>

namespace {

enum Outcome : int { kRunning, kGivenUp, kEnding };

// How often the caller's thread looks: often enough for a progress bar to move with
// the bytes, seldom enough to cost nothing next to the transfer.
const DWORD kLookMs = 50;
// Once its transfer has returned, a thread has only its own end left to run.
const DWORD kThreadEndMs = 5000;

// Shared by the watching and the working thread; the last of the two to let go frees it,
// so that a transfer given up on can still finish with everything it had.
struct Job {
    WatchedTransfer transfer;
    TransferPulse pulse;
    std::string text;
    std::wstring error;
    bool ok = false;
    HANDLE done = nullptr; // set when the transfer has returned
    std::atomic<int> holders{2};
};

void let_go(Job* job) {
    if (--job->holders == 0) {
        CloseHandle(job->done);
        delete job;
    }
}

unsigned __stdcall run_job(void* argument) {
    Job* job = static_cast<Job*>(argument);
    job->ok = job->transfer(job->pulse, job->text, job->error);
    SetEvent(job->done);
    let_go(job);
    return 0;
}

} // namespace

void pulse_beat(TransferPulse& pulse, uint64_t received, uint64_t expected) {
    pulse.expected = expected;
    pulse.received = received;
    pulse.in_body = true;
    pulse.last_tick = GetTickCount64();
}

bool pulse_given_up(const TransferPulse& pulse) {
    return pulse.outcome == kGivenUp;
}

bool pulse_claim_end(TransferPulse& pulse) {
    int running = kRunning;
    return pulse.outcome.compare_exchange_strong(running, kEnding);
}

bool transfer_watched(WatchedTransfer transfer, const Progress& progress, std::string& text,
                      std::wstring& error, uint64_t silence_ms) {
    text.clear();
    Job* job = new (std::nothrow) Job();
    if (job != nullptr) {
        job->transfer = std::move(transfer);
        job->pulse.last_tick = GetTickCount64();
        job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    const uintptr_t thread = job != nullptr && job->done != nullptr
                                 ? _beginthreadex(nullptr, 0, run_job, job, 0, nullptr)
                                 : 0;
    if (thread == 0) {
        if (job != nullptr && job->done != nullptr) {
            CloseHandle(job->done);
        }
        delete job;
        error = L"cannot start download";
        return false;
    }
    bool ok = false;
    bool returned_in_time = false;
    uint64_t relayed = 0;
    for (;;) {
        const bool returned = WaitForSingleObject(job->done, kLookMs) == WAIT_OBJECT_0;
        const uint64_t received = job->pulse.received;
        if (progress && received != relayed) {
            progress(received, job->pulse.expected);
            relayed = received;
        }
        if (returned) {
            returned_in_time = true;
            ok = job->ok;
            text = std::move(job->text);
            if (!ok) {
                error = job->error;
            }
            break;
        }
        const uint64_t last = job->pulse.last_tick; // before the clock: it may move on
        int running = kRunning;
        // A transfer that has claimed its end is about to return: it is waited for.
        if (GetTickCount64() - last >= silence_ms &&
            job->pulse.outcome.compare_exchange_strong(running, kGivenUp)) {
            error = job->pulse.in_body ? L"download stalled"
                                       : win_err(L"download failed", ERROR_WINHTTP_TIMEOUT);
            break;
        }
    }
    let_go(job);
    // A transfer that returned is let to end its thread too, so that none of ours is
    // still winding down while the program ends and its runtime is torn down around it.
    // One given up on is left to finish on its own.
    if (returned_in_time) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(thread), kThreadEndMs);
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return ok;
}
