#include "app/install_flow.h"

#include "app/app_event.h"
#include "app/app_start.h"
#include "app/channel_switch.h"
#include "app/leftovers.h"
#include "app/stub_swap.h"
#include "app/stub_version.h"
#include "build_config.h"
#include "package/download_resumable.h"
#include "package/fetch_and_stage.h"
#include "package/sha256_file.h"
#include "shell/shortcut.h"
#include "shell/uninstall_key.h"
#include "state/channel_name.h"
#include "state/fs.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/policy.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"
#include "ui/progress_window.h"
#include "update/latest_manifest.h"

#include <windows.h>

namespace {

// This program, or the stub the release ships when that states a newer version: an
// installation repaired by an older setup program keeps the newer stub it had.
std::wstring newer_stub(const std::string& version) {
    const std::wstring self = own_path();
    const std::wstring shipped = release_updater(version);
    Ver own;
    Ver theirs;
    if (file_exists(shipped) && stub_own_version(own) && stub_file_version(shipped, theirs) &&
        ver_cmp(theirs, own) > 0) {
        return shipped;
    }
    return self;
}

// Whether the stub in place states a newer version than `source`: a setup program is not
// to undo an update of the stub.
bool newer_in_place(const std::wstring& source, const std::wstring& stub) {
    Ver in_place;
    Ver offered;
    return stub_file_version(stub, in_place) && stub_file_version(source, offered) &&
           ver_cmp(in_place, offered) > 0;
}

// Puts the stub in place unless the one there is it already (the stub repairing its own
// installation, or an earlier run's copy) or newer, and clears what an interrupted swap
// left.
bool install_stub(const std::string& version, std::wstring& error) {
    const std::wstring source = newer_stub(version);
    const std::wstring stub = installed_updater();
    std::string digest;
    std::string installed_digest;
    const bool in_place = same_file(source, stub) || newer_in_place(source, stub) ||
                          (sha256_file(source, digest) && sha256_file(stub, installed_digest) &&
                           digest == installed_digest);
    std::wstring why;
    if (!in_place && (digest.empty() || !stub_swap_in(source, digest, why))) {
        log_line("updater.exe not put in place: %s",
                 why.empty() ? "it cannot be read" : w_to_utf8(why).c_str());
        error = L"could not install updater.exe";
        return false;
    }
    // Fails harmlessly while a stub started from it still runs.
    fs_delete(old_updater(), FsWait::once);
    return true;
}

// How a pass ends besides installing: refused for a reason the user is told as it
// stands, failed with a reason told after "Installation failed.", or not run because
// another process held the updater lock all the while.
enum class Outcome { installed, newer_installed, withdrawn, failed, busy };

// What the record says of the announced release: a version older than the one installed
// (whose program is there) is no installation but a downgrade, and one that failed its
// trial was withdrawn for this computer.
Outcome judge_release(const Manifest& manifest, const InstallState& state) {
    if (state.is_bad(manifest.version)) {
        return Outcome::withdrawn;
    }
    if (!state.installed.empty() && ver_newer(state.installed, manifest.version) &&
        file_exists(app_exe(state.installed))) {
        return Outcome::newer_installed;
    }
    return Outcome::installed;
}

// Fetches the announced release, stages it, and puts the stub, the shortcuts and the
// registration in place before the record: install.json is the installation's last
// word, so a run that ends before it leaves a stub that finds no record and repairs.
// `before` is set to the version installed before, if any.
Outcome install_locked(const InstallRequest& request, Manifest& manifest, InstallState& state,
                       std::string& before, std::wstring& error) {
    ui_status(L"Checking latest version...");
    ui_progress(-1);
    state_load(state); // a first installation has no record yet
    before = state.installed;
    const std::string channel = request.channel != nullptr ? request.channel : state.channel;
    // An administrator's channel is read while the policy holds; the record keeps the
    // installation's own for when it no longer does.
    const Policy& policy = policy_current();
    const std::string source = policy_channel(policy, channel);
    if (!manifest_fetch_latest(source, manifest, error) ||
        !manifest_is_current(manifest, state.issued_on(source), error)) {
        return Outcome::failed;
    }
    if (!policy_allows_version(policy, manifest.version)) {
        error = L"version " + utf8_to_w(manifest.version) +
                L" is held back by policy (TargetVersionPrefix " + utf8_to_w(policy.target_prefix) +
                L")";
        return Outcome::failed;
    }
    if (!manifest.minStub.empty() && ver_newer(manifest.minStub, STUB_VERSION)) {
        error = std::wstring(L"This installer is outdated.\nPlease download the latest one from ") +
                PUBLISHER_WEB_DOMAIN + L".";
        return Outcome::failed;
    }
    const Outcome judged = judge_release(manifest, state);
    // A download kept from an earlier run is continued only for what is to be fetched now.
    download_prune(judged == Outcome::installed ? stage_download_digests(manifest, state.installed)
                                                : std::vector<std::string>());
    if (judged != Outcome::installed) {
        // Asked for, the channel is followed even so: the version installed stays until
        // the channel announces a newer one.
        std::wstring why;
        if (!state.installed.empty() && !channel_follow(state, channel, why)) {
            log_line("channel not changed: %s", w_to_utf8(why).c_str());
        }
        return judged;
    }
    if (!fetch_and_stage(manifest, state.installed, true, error)) {
        return Outcome::failed;
    }
    ui_status(L"Setting up...");
    ui_progress(-1);
    if (!install_stub(manifest.version, error)) {
        return Outcome::failed;
    }
    if (!make_shortcut()) {
        log_line("shortcut creation failed");
    }
    write_uninstall_key(manifest.version);
    if (!state.installed.empty() && state.installed != manifest.version) {
        state.prev = state.installed;
    }
    state.installed = manifest.version;
    state.staged.clear();
    state.channel = channel;
    state.note_issued(source, manifest.issued);
    state.report = manifest.report;
    // A new installation takes the release whatever its rollout, and draws the bucket its
    // later updates are rolled out by; without one it waits for full rollouts.
    if (!state_draw_bucket(state)) {
        log_line("no rollout bucket drawn: the system gave no random number");
    }
    if (!state_save(state, error)) {
        return Outcome::failed;
    }
    download_prune(std::vector<std::string>()); // recorded: what it came from has served
    leftovers_remove(state);
    return Outcome::installed;
}

void start_version(const std::string& version) {
    const HANDLE app = app_start(version);
    if (app == nullptr) {
        log_line("start of %s failed (error %lu)", version.c_str(), GetLastError());
        return;
    }
    CloseHandle(app);
}

// The application's own work after it was installed: registering itself, say.
void tell_application(const std::string& before, const std::string& version) {
    if (before.empty()) {
        app_event_run(AppEvent::installed, version);
    } else if (before != version) {
        app_event_run(AppEvent::updated, version);
    }
}

// With `quiet`, shows nothing.
Outcome install_release(bool quiet, const InstallRequest& request, std::wstring& error) {
    if (request.channel != nullptr && *request.channel != '\0' &&
        !channel_name_ok(request.channel)) {
        error = L"bad channel name: use 1 to 32 of a-z, 0-9 and -";
        log_line("install failed: %s", w_to_utf8(error).c_str());
        return Outcome::failed;
    }
    // A stub's background check stages under the same lock: the two must never share the
    // scratch names or the record, and the release announced is read once the lock is
    // held, so that a check that ran meanwhile is not undone by an older answer.
    Manifest manifest;
    InstallState state;
    std::string before;
    Outcome outcome = Outcome::failed;
    const auto work = [&] { outcome = install_locked(request, manifest, state, before, error); };
    if (!updater_lock_try(work)) {
        ui_status(L"Waiting for another update to finish...");
        ui_progress(-1);
        if (!updater_lock_wait(kUpdaterLockWaitMs, work, error)) {
            outcome = Outcome::busy;
        }
    }
    switch (outcome) {
    case Outcome::installed:
        log_line("installed %s", manifest.version.c_str());
        tell_application(before, manifest.version);
        if (request.launch) {
            start_version(manifest.version);
        }
        break;
    case Outcome::newer_installed:
        log_line("install of %s refused: %s is installed", manifest.version.c_str(),
                 state.installed.c_str());
        break;
    case Outcome::withdrawn:
        log_line("install of %s refused: it failed its trial here", manifest.version.c_str());
        break;
    case Outcome::failed:
    case Outcome::busy:
        log_line("install failed: %s", w_to_utf8(error).c_str());
        break;
    }
    if (outcome == Outcome::newer_installed) {
        if (!quiet) {
            MessageBoxW(ui_hwnd(), L"A newer version of Brindlewick is already installed.",
                        L"Brindlewick Setup", MB_ICONINFORMATION);
        }
        if (request.launch) {
            start_version(state.installed);
        }
    }
    return outcome;
}

} // namespace

uint32_t install_worker(void* arg) {
    const InstallRequest& request = *static_cast<const InstallRequest*>(arg);
    std::wstring error;
    switch (install_release(false, request, error)) {
    case Outcome::installed:
        return 0;
    case Outcome::newer_installed:
        return 2;
    case Outcome::withdrawn:
        MessageBoxW(ui_hwnd(),
                    L"This version of Brindlewick was withdrawn after it failed to start.",
                    L"Brindlewick Setup", MB_ICONERROR);
        return 1;
    case Outcome::failed:
    case Outcome::busy:
        break;
    }
    MessageBoxW(ui_hwnd(), (L"Installation failed.\n\n" + error).c_str(), L"Brindlewick Setup",
                MB_ICONERROR);
    return 1;
}

uint32_t install_quietly(const InstallRequest& request) {
    std::wstring error;
    switch (install_release(true, request, error)) {
    case Outcome::installed:
        return 0;
    case Outcome::newer_installed:
        return 2;
    case Outcome::busy:
        return 3;
    case Outcome::withdrawn:
    case Outcome::failed:
        break;
    }
    return 1;
}
