#include "app/report_event.h"

#include "state/paths.h"
#include "state/policy.h"
#include "state/text.h"
#include "state/update_log.h"
#include "update/update_report.h"

#include <windows.h>

void report_event(const InstallState& state, const char* event, const std::string& version,
                  const std::string& from, const std::string& reason) {
    const Policy& policy = policy_current();
    if (state.report.empty() || policy.reports_disabled || user_reports_disabled()) {
        return;
    }
    UpdateReport report;
    report.event = event;
    report.version = version;
    report.from = from;
    report.channel = policy_channel(policy, state.channel);
    report.bucket = state.bucket;
    wchar_t profile[MAX_PATH] = L"";
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
    report.reason = report_reason(reason, w_to_utf8(root_dir()),
                                  length < MAX_PATH ? w_to_utf8(profile) : std::string());
    std::wstring error;
    if (!report_send(state.report, report, error)) {
        log_line("report %s %s dropped: %s", event, version.c_str(), w_to_utf8(error).c_str());
    }
}
