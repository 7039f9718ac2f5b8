#include "app/check_command.h"

#include "app/update_check.h"
#include "state/json_quoted.h"
#include "state/paths.h"
#include "state/policy.h"
#include "state/text.h"
#include "state/update_log.h"

#include <windows.h>

#include <string>

namespace {

std::string json_or_null(const std::string& text) {
    return text.empty() ? "null" : json_quoted(text);
}

// Only where the caller gave an output to read it from: a console would show the line
// to nobody, and no output at all is the rule for a program started from a shortcut.
void tell_caller(const InstallState& state, const std::string& staged, const CheckResult& result) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD type = GetFileType(out);
    if (type != FILE_TYPE_PIPE && type != FILE_TYPE_DISK) {
        return;
    }
    const std::string line = "{\"installed\": " + json_or_null(state.installed) +
                             ", \"staged\": " + json_or_null(staged) +
                             ", \"latest\": " + json_or_null(result.latest) +
                             ", \"error\": " + json_or_null(w_to_utf8(result.error)) + "}\n";
    DWORD wrote = 0;
    WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr);
}

} // namespace

int check_command(InstallState& state) {
    if (policy_current().updates_disabled) {
        CheckResult refused;
        refused.error = L"updates are turned off by policy";
        log_line("check refused: updates are turned off by policy");
        tell_caller(state, "", refused);
        return kCheckDisabled;
    }
    CheckResult result = update_check(state);
    if (!result.ran) {
        result.error = L"another installation or check is running";
    }
    // Only a record read under the lock says what waits for a restart: while another
    // stub holds it, the version it names as staged may be the one on trial, the very
    // application asking. A staged version whose program is gone, that failed its trial
    // already, or that the policy holds back is none either: a restart would not start it.
    const bool waits = result.ran && !state.staged.empty() && file_exists(app_exe(state.staged)) &&
                       !file_exists(failed_trial_mark(state.staged)) &&
                       policy_allows_version(policy_current(), state.staged);
    const std::string staged = waits ? state.staged : "";
    tell_caller(state, staged, result);
    if (!result.ran) {
        return kCheckBusy;
    }
    // A version ready for its trial is what the caller acts on, even when this check
    // failed (the server out of reach, say): the line carries the error all the same.
    if (!staged.empty()) {
        return kCheckStaged;
    }
    return result.failed ? kCheckFailed : kCheckNothingNew;
}

int check_command_unreadable() {
    CheckResult result;
    result.error = L"install.json could not be read";
    log_line("check failed: install.json could not be read");
    tell_caller(InstallState(), "", result);
    return kCheckFailed;
}
