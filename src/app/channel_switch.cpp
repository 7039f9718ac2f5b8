#include "app/channel_switch.h"

#include "app/leftovers.h"
#include "state/channel_name.h"
#include "state/install_state.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/updater_lock.h"

namespace {

const char* shown(const std::string& channel) {
    return channel.empty() ? "the default" : channel.c_str();
}

} // namespace

bool channel_follow(InstallState& state, const std::string& name, std::wstring& error) {
    if (state.channel == name) {
        return true;
    }
    InstallState following = state;
    following.channel = name;
    following.staged.clear();
    if (!state_save(following, error)) {
        return false;
    }
    log_line("channel %s followed (was %s)%s", shown(name), shown(state.channel),
             state.staged.empty() ? "" : ("; staged " + state.staged + " dropped").c_str());
    state = following;
    leftovers_remove(state);
    return true;
}

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
        } else if (channel_follow(state, name, error)) {
            code = 0;
        }
    };
    if (!updater_lock_wait(kUpdaterLockWaitMs, work, error)) {
        code = 3;
    }
    if (code != 0) {
        log_line("channel not changed: %s", w_to_utf8(error).c_str());
    }
    return code;
}
