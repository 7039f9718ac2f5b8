#include "app/caller_wait.h"

#include "state/update_log.h"

#include <windows.h>

#include <tlhelp32.h>

namespace {

constexpr DWORD kCallerWaitMs = 60000;

// The id of the process that started this one; 0 when the system does not say.
DWORD parent_id() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

ULONGLONG created_at(HANDLE process) {
    FILETIME created = {};
    FILETIME unused[3] = {};
    if (!GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2])) {
        return 0;
    }
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

void caller_wait(unsigned long pid) {
    const DWORD id = pid != 0 ? pid : parent_id();
    if (id == 0 || id == GetCurrentProcessId()) {
        return;
    }
    const HANDLE caller = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (caller == nullptr) {
        return; // gone already
    }
    // Ids are reused: a process younger than this one cannot have asked for it.
    const ULONGLONG caller_created = created_at(caller);
    if (caller_created != 0 && caller_created <= created_at(GetCurrentProcess()) &&
        WaitForSingleObject(caller, kCallerWaitMs) == WAIT_TIMEOUT) {
        log_line("process %lu still runs after 60 s; starting anyway", id);
    }
    CloseHandle(caller);
}
