#include "app/stub_swap.h"

#include "app/stub_version.h"
#include "package/sha256_file.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/spawn.h"

#include <windows.h>

namespace {

// Long enough for a program to start on a busy machine, short enough not to hold up
// the start of the application for long.
constexpr DWORD kSelfCheckMs = 10000;

// A stub that cannot start, or starts as something else, would take the only way back
// from a broken installation with it: it must show that it runs before it is trusted.
// Any program may end with exit code 0, so it must also state a version as a stub does.
bool passes_self_check(const std::wstring& program) {
    Ver stated;
    if (!stub_file_version(program, stated)) {
        return false;
    }
    const HANDLE process = spawn(program, L"/selfcheck");
    if (process == nullptr) {
        return false;
    }
    DWORD code = 1;
    const bool ended = WaitForSingleObject(process, kSelfCheckMs) == WAIT_OBJECT_0;
    if (ended) {
        GetExitCodeProcess(process, &code);
    } else {
        // Its file is to be deleted: the process must not outlive the check.
        TerminateProcess(process, 1);
        WaitForSingleObject(process, kSelfCheckMs);
    }
    CloseHandle(process);
    return ended && code == 0;
}

bool prepare_incoming(const std::wstring& source, const std::string& source_digest,
                      const std::wstring& incoming) {
    std::string copied_digest;
    if (fs_copy(source, incoming, true) && sha256_file(incoming, copied_digest) &&
        copied_digest == source_digest) {
        // A downloaded setup program carries a mark of its origin that its copy
        // inherits; left there, it would make Windows warn at every start of the
        // shortcut.
        fs_delete(incoming + L":Zone.Identifier");
        // Its bytes on the disk before a rename makes it the stub: a power cut must not
        // leave an empty stub behind.
        if (flush_file(incoming) && passes_self_check(incoming)) {
            return true;
        }
    }
    fs_delete(incoming);
    return false;
}

} // namespace

bool stub_swap_in(const std::wstring& source, const std::string& source_digest) {
    const std::wstring stub = installed_updater();
    const std::wstring incoming = incoming_updater();
    const std::wstring aside = old_updater();
    if (!prepare_incoming(source, source_digest, incoming)) {
        return false;
    }
    const bool replacing = file_exists(stub);
    if (replacing && !fs_replace(stub, aside)) {
        fs_delete(incoming);
        return false;
    }
    if (!fs_rename(incoming, stub)) {
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
