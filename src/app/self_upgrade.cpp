#include "app/self_upgrade.h"

#include "package/sha256_file.h"
#include "state/paths.h"
#include "state/update_log.h"

#include <windows.h>

namespace {

// Its bytes on the disk before a rename makes it the stub: a power cut must not leave an
// empty stub behind.
bool flush_to_disk(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != FALSE;
    CloseHandle(file);
    return flushed;
}

// The stub is the only way back from a broken installation, so the new one is copied
// and checked under a name of its own before it takes the stub's place.
bool prepare_incoming(const std::wstring& shipped, const std::string& shipped_digest,
                      const std::wstring& incoming) {
    std::string copied_digest;
    if (CopyFileW(shipped.c_str(), incoming.c_str(), FALSE) &&
        sha256_file(incoming, copied_digest) && copied_digest == shipped_digest &&
        flush_to_disk(incoming)) {
        return true;
    }
    DeleteFileW(incoming.c_str());
    return false;
}

} // namespace

void self_upgrade(const std::string& version) {
    const std::wstring shipped = release_updater(version);
    const std::wstring stub = installed_updater();
    if (!file_exists(shipped)) {
        return;
    }
    std::string shipped_digest;
    std::string stub_digest;
    if (!sha256_file(shipped, shipped_digest) || !sha256_file(stub, stub_digest) ||
        shipped_digest == stub_digest) {
        return;
    }
    const std::wstring incoming = incoming_updater();
    const std::wstring aside = old_updater();
    if (!prepare_incoming(shipped, shipped_digest, incoming)) {
        return;
    }
    // A running program can be renamed, not overwritten.
    if (!MoveFileExW(stub.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(incoming.c_str());
        return;
    }
    if (!MoveFileExW(incoming.c_str(), stub.c_str(), 0)) {
        // Without a stub nothing starts the application: a copy serves when the old one
        // cannot be renamed back.
        if (!MoveFileExW(aside.c_str(), stub.c_str(), 0)) {
            CopyFileW(aside.c_str(), stub.c_str(), TRUE);
        }
        DeleteFileW(incoming.c_str());
        return;
    }
    log_line("updater self-upgraded from app-%s", version.c_str());
}
