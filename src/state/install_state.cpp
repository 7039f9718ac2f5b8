#include "state/install_state.h"

#include "state/fs.h"
#include "state/install_state_json.h"
#include "state/paths.h"
#include "state/win_err.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

// Shared with every other reader, and with a writer replacing the file meanwhile: a stub
// reading the record must never make another's save fail.
bool read_whole_file(const std::wstring& path, std::string& bytes) {
    const HANDLE file = fs_open(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char chunk[4096];
    DWORD got = 0;
    bool read = true;
    while ((read = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return read;
}

// The data must be on disk before the rename makes it the live file: otherwise a power
// cut soon after can leave install.json empty or zero-filled.
bool write_file_durably(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = fs_open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = fs_write_all(file, bytes.data(), bytes.size()) && FlushFileBuffers(file);
    const DWORD error = GetLastError();
    ok = CloseHandle(file) && ok;
    SetLastError(error);
    return ok;
}

} // namespace

bool state_load(InstallState& state) {
    state = InstallState();
    std::string bytes;
    if (!read_whole_file(state_file(), bytes)) {
        return false;
    }
    return state_from_json(bytes, state);
}

bool state_reload(InstallState& state) {
    InstallState fresh;
    if (!state_load(fresh)) {
        return false;
    }
    state = fresh;
    return true;
}

bool state_save(const InstallState& state) {
    std::wstring unused;
    return state_save(state, unused);
}

bool state_save(const InstallState& state, std::wstring& error) {
    const std::wstring target = state_file();
    const std::wstring temporary = state_temp_file();
    const std::string text = state_to_json(state);
    bool saved = write_file_durably(temporary, text);
    if (!saved) {
        const DWORD code = GetLastError();
        fs_delete(temporary);
        error = fs_disk_full(code) ? fs_room_error(root_dir(), text.size())
                                   : win_err(L"cannot save install.json", code);
        return false;
    }
    saved = fs_replace(temporary, target);
    if (!saved) {
        error = win_err(L"cannot save install.json", GetLastError());
    }
    return saved;
}

bool state_draw_bucket(InstallState& state) {
    if (state.bucket >= 0) {
        return true;
    }
    // 2^32 is no multiple of 100: values from the last partial run of a hundred are drawn
    // again, so that every bucket is equally likely.
    const uint32_t kFair = 0xFFFFFFFFu - 0xFFFFFFFFu % 100;
    uint32_t value = kFair;
    while (value >= kFair) {
        if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                            BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            return false;
        }
    }
    state.bucket = static_cast<int>(value % 100);
    return true;
}
