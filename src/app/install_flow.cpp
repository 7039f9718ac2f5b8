#include "app/install_flow.h"

#include "build_config.h"
#include "package/fetch_and_stage.h"
#include "shell/shortcut.h"
#include "shell/uninstall_key.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/spawn.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"
#include "ui/progress_window.h"
#include "update/latest_manifest.h"

#include <windows.h>

#include <cwchar>

namespace {

// Copies the running program to <root>\updater.exe, unless it is that file already
// (the stub repairing its own installation).
bool install_stub(std::wstring& error) {
    const std::wstring self = own_path();
    const std::wstring stub = installed_updater();
    if (_wcsicmp(self.c_str(), stub.c_str()) == 0) {
        return true;
    }
    if (!CopyFileW(self.c_str(), stub.c_str(), FALSE)) {
        error = L"could not install updater.exe";
        return false;
    }
    // A downloaded setup program carries a mark of its origin that the copy inherits;
    // left there, it would make Windows warn at every start of the shortcut.
    DeleteFileW((stub + L":Zone.Identifier").c_str());
    return true;
}

bool record_installation(const std::string& version, std::wstring& error) {
    InstallState state;
    state_load(state); // a first installation has no record yet
    if (!state.installed.empty() && state.installed != version) {
        state.prev = state.installed;
    }
    state.installed = version;
    state.staged.clear();
    if (!state_save(state)) {
        error = L"could not write install.json";
        return false;
    }
    return true;
}

// Fetches the announced release, stages it and records it as installed, with the stub
// in place; the rest of an installation follows once the lock is released.
bool stage_and_record(Manifest& manifest, std::wstring& error) {
    ui_status(L"Checking latest version...");
    ui_progress(-1);
    if (!manifest_fetch_latest(manifest, error)) {
        return false;
    }
    if (!manifest.minStub.empty() && ver_newer(manifest.minStub, STUB_VERSION)) {
        error = std::wstring(L"This installer is outdated.\nPlease download the latest one from ") +
                PUBLISHER_WEB_DOMAIN + L".";
        return false;
    }
    if (!fetch_and_stage(manifest, true, error)) {
        return false;
    }
    ui_status(L"Setting up...");
    ui_progress(-1);
    return install_stub(error) && record_installation(manifest.version, error);
}

bool install_release(std::wstring& error) {
    // A stub's background check stages under the same lock: the two must never share the
    // scratch names or the record, and the release announced is read once the lock is
    // held, so that a check that ran meanwhile is not undone by an older answer.
    Manifest manifest;
    bool staged = false;
    const auto work = [&] { staged = stage_and_record(manifest, error); };
    if (!updater_lock_try(work)) {
        ui_status(L"Waiting for another update to finish...");
        ui_progress(-1);
        updater_lock_wait(work);
    }
    if (!staged) {
        return false;
    }
    if (!make_shortcut()) {
        log_line("shortcut creation failed");
    }
    write_uninstall_key(manifest.version);
    log_line("installed %s", manifest.version.c_str());
    const HANDLE app = spawn(app_exe(manifest.version), L"");
    if (app != nullptr) {
        CloseHandle(app);
    }
    return true;
}

} // namespace

uint32_t install_worker(void*) {
    std::wstring error;
    if (install_release(error)) {
        return 0;
    }
    log_line("install failed: %s", w_to_utf8(error).c_str());
    MessageBoxW(ui_hwnd(), (L"Installation failed.\n\n" + error).c_str(), L"Brindlewick Setup",
                MB_ICONERROR);
    return 1;
}
