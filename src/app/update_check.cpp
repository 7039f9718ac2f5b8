#include "app/update_check.h"

#include "app/leftovers.h"
#include "app/report_event.h"
#include "app/self_upgrade.h"
#include "build_config.h"
#include "package/download_resumable.h"
#include "package/fetch_and_stage.h"
#include "shell/uninstall_key.h"
#include "state/install_state.h"
#include "state/paths.h"
#include "state/policy.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"
#include "state/version.h"
#include "update/latest_manifest.h"

namespace {

// A report to send once the lock is let go, so that no other run waits for it.
struct PendingReport {
    const char* event = nullptr; // null: none
    std::string version;
    std::string from;
    std::string reason;
};

// Logs why the check failed and says so in `result`.
void fail(CheckResult& result, const char* what, const std::string& version,
          const std::wstring& error) {
    result.failed = true;
    result.error = error;
    if (version.empty()) {
        log_line("%s failed: %s", what, w_to_utf8(error).c_str());
    } else {
        log_line("%s %s failed: %s", what, version.c_str(), w_to_utf8(error).c_str());
    }
}

// Whether the version staged here is one the publisher took back: the manifest now
// announces an older release (a halt that went back), or the same one to a share of the
// installations this one is no longer in (a halt that cut the rollout). Tried anyway, it
// would reach installations the publisher meant to spare.
bool withdrawn_here(const InstallState& state, const Manifest& manifest) {
    return ver_valid(state.staged) &&
           (ver_newer(state.staged, manifest.version) ||
            (state.staged == manifest.version && !state.in_rollout(manifest.rollout)));
}

void check(InstallState& state, CheckResult& result, PendingReport& report) {
    result.ran = true;
    // The record may have changed since this process read it (an installation or a
    // commit that ended meanwhile). Every writer holds the lock, so what the file holds
    // now is what the tidying, the decision and the save must rest on.
    if (!state_reload(state)) {
        fail(result, "check", "", L"install.json could not be read");
        return;
    }
    leftovers_remove(state);
    // A commit ended between its record and its entry in the list of programs leaves the
    // entry naming the version before.
    if (!uninstall_key_follow(state.installed)) {
        log_line("the entry in the list of programs could not be written");
    }
    self_upgrade_if_newer(state.installed);
    const Policy& policy = policy_current();
    if (policy.updates_disabled) {
        log_line("no check: updates are turned off by policy");
        return;
    }
    const std::string channel = policy_channel(policy, state.channel);
    Manifest manifest;
    std::wstring error;
    if (!manifest_fetch_latest(channel, manifest, error) ||
        !manifest_is_current(manifest, state.issued_on(channel), error)) {
        fail(result, "check", "", error);
        return;
    }
    result.latest = manifest.version;
    // Kept, so that no earlier manifest can be served again in place of this one; a
    // record that cannot be saved now could not name a staged version either. The report
    // address is kept for the trial's end, which reads no manifest.
    if (manifest.issued > state.issued_on(channel) || manifest.report != state.report) {
        state.note_issued(channel, manifest.issued);
        state.report = manifest.report;
        if (!state_save(state, error)) {
            fail(result, "check", "", error);
            return;
        }
    }
    // An installation from before staged rollouts draws its bucket when it first meets
    // one, and keeps to it only once it is saved: drawn anew at each start, it would
    // sooner or later fall below any share. Drawn before a staged version is judged by it.
    if (manifest.rollout < 100 && state.bucket < 0 &&
        ver_newer(manifest.version, state.installed)) {
        InstallState drawn = state;
        if (state_draw_bucket(drawn) && state_save(drawn)) {
            state = drawn;
        } else {
            log_line("no rollout bucket could be drawn and kept");
        }
    }
    if (withdrawn_here(state, manifest)) {
        // Record first: killed before the folder goes, the next check removes it.
        const std::string dropped = state.staged;
        if (file_exists(failed_trial_mark(dropped))) {
            state.bad.push_back(dropped); // its rollback, which could not be saved
        }
        state.staged.clear();
        if (!state_save(state, error)) {
            fail(result, "check", "", error);
            return;
        }
        leftovers_remove(state);
        log_line("staged %s dropped: the publisher withdrew it", dropped.c_str());
    }
    const char* version = manifest.version.c_str();
    const bool needs_newer_stub =
        !manifest.minStub.empty() && ver_newer(manifest.minStub, STUB_VERSION);
    // One staged already waits for its trial (one whose commit could not be saved, or
    // whose trial another stub's lock put off): fetched again, it would be replaced under
    // a version that may run.
    const bool staged_already =
        state.staged == manifest.version && file_exists(app_exe(state.staged));
    const bool newer = !needs_newer_stub && ver_newer(manifest.version, state.installed) &&
                       !state.is_bad(manifest.version) && !staged_already;
    if (newer && !policy_allows_version(policy, manifest.version)) {
        log_line_once("update %s not taken: policy TargetVersionPrefix is %s", version,
                      policy.target_prefix.c_str());
        download_prune(std::vector<std::string>());
        return;
    }
    const bool wanted = newer && state.in_rollout(manifest.rollout);
    // A download kept from an earlier run is continued only for what is to be fetched now.
    download_prune(wanted ? stage_download_digests(manifest, state.installed)
                          : std::vector<std::string>());
    if (needs_newer_stub) {
        log_line("update %s needs newer stub (minStub %s)", version, manifest.minStub.c_str());
        return;
    }
    if (newer && !wanted) {
        log_line("update %s not offered here yet (rollout %u%%)", version, manifest.rollout);
    }
    if (!wanted) {
        return;
    }
    report.version = manifest.version;
    report.from = state.installed;
    report.event = "failed";
    bool staged = fetch_and_stage(manifest, state.installed, false, error);
    if (staged) {
        // Unrecorded, the folder is no staged version: the next check removes it.
        state.staged = manifest.version;
        staged = state_save(state, error);
    }
    if (!staged) {
        fail(result, "stage", manifest.version, error);
        report.reason = w_to_utf8(error);
        return;
    }
    download_prune(std::vector<std::string>()); // recorded: what it came from has served
    log_line("staged %s", version);
    report.event = "staged";
}

} // namespace

CheckResult update_check(InstallState& state) {
    CheckResult result;
    PendingReport report;
    updater_lock_try([&] { check(state, result, report); });
    if (report.event != nullptr) {
        report_event(state, report.event, report.version, report.from, report.reason);
    }
    return result;
}
