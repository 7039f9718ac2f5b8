// install.json as read at every start: a record that loads is saved and loads back the same.
#include "state/install_state_json.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InstallState state;
    if (!state_from_json(std::string(reinterpret_cast<const char*>(data), size), state)) {
        return 0;
    }
    InstallState again;
    if (!state_from_json(state_to_json(state), again) || again.installed != state.installed ||
        again.staged != state.staged || again.prev != state.prev || again.bad != state.bad ||
        again.issued != state.issued) {
        std::abort();
    }
    return 0;
}
