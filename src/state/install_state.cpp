#include "state/install_state.h"

#include "state/install_state_json.h"
#include "state/paths.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <io.h>

namespace {

bool read_whole_file(const std::wstring& path, std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    const bool read_error = ferror(file) != 0;
    fclose(file);
    return !read_error;
}

// The data must be on disk before the rename makes it the live file: otherwise a power
// cut soon after can leave install.json empty or zero-filled.
bool write_file_durably(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = ok && fflush(file) == 0 && _commit(_fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
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
    const std::wstring target = state_file();
    const std::wstring temporary = state_temp_file();
    if (!write_file_durably(temporary, state_to_json(state))) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
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
