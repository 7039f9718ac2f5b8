#include "app/channel_switch.h"

#include "state/channel_name.h"
#include "state/install_state.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"

int channel_switch(const std::string& name) {
    if (!name.empty() && !channel_name_ok(name)) {
        log_line("channel not changed: bad channel name: use 1 to 32 of a-z, 0-9 and -");
        return 1;
    }
    int code = 1;
    std::wstring error;
    const auto work = [&] {
        InstallState state;
        if (!state_load(state)) {
            error = L"install.json could not be read";
            return;
        }
        const std::string left = state.channel;
        state.channel = name;
        if (left != name && !state_save(state, error)) {
            return;
        }
        code = 0;
        log_line("channel %s followed (was %s)", name.empty() ? "the default" : name.c_str(),
                 left.empty() ? "the default" : left.c_str());
    };
    if (!updater_lock_wait(kUpdaterLockWaitMs, work, error)) {
        code = 3;
    }
    if (code != 0) {
        log_line("channel not changed: %s", w_to_utf8(error).c_str());
    }
    return code;
}
