#include "app/update_check.h"

#include "build_config.h"
#include "package/fetch_and_stage.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"
#include "update/latest_manifest.h"

namespace {

// The record may have changed since this process read it (an installation or a commit
// that ended meanwhile): decisions and the save rest on what the file holds now.
bool reload(InstallState& state) {
    InstallState fresh;
    if (!state_load(fresh)) {
        return false;
    }
    state = fresh;
    return true;
}

void check(InstallState& state) {
    Manifest manifest;
    std::wstring error;
    if (!fetch_latest_manifest(manifest, error)) {
        log_line("check failed: %s", w_to_utf8(error).c_str());
        return;
    }
    const char* version = manifest.version.c_str();
    if (!manifest.minStub.empty() && ver_newer(manifest.minStub, STUB_VERSION)) {
        log_line("update %s needs newer stub (minStub %s)", version, manifest.minStub.c_str());
        return;
    }
    if (!reload(state) || !ver_newer(manifest.version, state.installed) ||
        state.is_bad(manifest.version)) {
        return;
    }
    if (!fetch_and_stage(manifest, false, error)) {
        log_line("stage %s failed: %s", version, w_to_utf8(error).c_str());
        return;
    }
    if (!reload(state)) {
        log_line("stage %s failed: install.json could not be read", version);
        return;
    }
    state.staged = manifest.version;
    state_save(state);
    log_line("staged %s", version);
}

} // namespace

void update_check(InstallState& state) {
    const HANDLE lock = updater_lock_try();
    if (lock != nullptr) {
        check(state);
        updater_lock_release(lock);
    }
}
