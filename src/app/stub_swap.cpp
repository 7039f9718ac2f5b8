#include "app/stub_swap.h"

#include "app/stub_version.h"
#include "package/sha256_file.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/spawn.h"
#include "state/win_err.h"

#include <windows.h>

namespace {

// Long enough for a program to start on a busy machine, short enough not to hold up
// the start of the application for long.
constexpr DWORD kSelfCheckMs = 10000;

// A stub that cannot start, or starts as something else, would take the only way back
// from a broken installation with it: it must show that it runs before it is trusted.
// Any program may end with exit code 0, so it must also state a version as a stub does.
bool passes_self_check(const std::wstring& program, std::wstring& error) {
    Ver stated;
    if (!stub_file_version(program, stated)) {
        error = L"it states no version";
        return false;
    }
    DWORD passing = 0;
    const HANDLE process = spawn_retrying(program, L"/selfcheck", passing);
    if (process == nullptr) {
        error = win_err(L"it did not start", GetLastError());
        return false;
    }
    // Its file is to be deleted: the process must not outlive the check.
    DWORD code = 1;
    const bool ended = spawn_wait_bounded(process, kSelfCheckMs, code);
    CloseHandle(process);
    if (!ended) {
        error = L"its self-check did not end";
    } else if (code != 0) {
        error = win_err(L"its self-check failed", code);
    }
    return ended && code == 0;
}

// Why a step with the stub `source` failed, GetLastError() saying how: a full disk says
// what the stub needs.
std::wstring failure(const wchar_t* what, const std::wstring& source) {
    const DWORD code = GetLastError();
    uint64_t needed = 0;
    fs_size(source, needed);
    return fs_disk_full(code) ? fs_room_error(root_dir(), needed) : win_err(what, code);
}

bool prepare_incoming(const std::wstring& source, const std::string& source_digest,
                      const std::wstring& incoming, std::wstring& error) {
    std::string copied_digest;
    bool ready = fs_copy(source, incoming, true);
    if (!ready) {
        error = failure(L"cannot copy it", source);
    } else if (!sha256_file(incoming, copied_digest) || copied_digest != source_digest) {
        error = L"its copy differs";
        ready = false;
    }
    if (ready) {
        // A downloaded setup program carries a mark of its origin that its copy
        // inherits; left there, it would make Windows warn at every start of the
        // shortcut.
        fs_delete(incoming + L":Zone.Identifier");
        // Its bytes on the disk before a rename makes it the stub: a power cut must not
        // leave an empty stub behind.
        ready = flush_file(incoming);
        if (!ready) {
            error = failure(L"cannot flush its copy", source);
        }
        ready = ready && passes_self_check(incoming, error);
    }
    if (!ready) {
        fs_delete(incoming);
    }
    return ready;
}

} // namespace

bool stub_swap_in(const std::wstring& source, const std::string& source_digest,
                  std::wstring& error) {
    const std::wstring stub = installed_updater();
    const std::wstring incoming = incoming_updater();
    const std::wstring aside = old_updater();
    if (!prepare_incoming(source, source_digest, incoming, error)) {
        return false;
    }
    const bool replacing = file_exists(stub);
    if (replacing && !fs_replace(stub, aside)) {
        error = failure(L"cannot set the stub in place aside", source);
        fs_delete(incoming);
        return false;
    }
    if (!fs_rename(incoming, stub)) {
        error = failure(L"cannot put it in place", source);
        // Without a stub nothing starts the application: a copy serves when the old one
        // cannot be renamed back. One cut short by a full disk is removed rather than
        // left to fail at every start: the setup program run again puts one back.
        if (replacing && !fs_rename(aside, stub)) {
            fs_copy(aside, stub, false);
        }
        fs_delete(incoming);
        return false;
    }
    return true;
}
