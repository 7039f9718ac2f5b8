#include "state/channel_name.h"

namespace {

constexpr size_t kMaxChannelName = 32;

} // namespace

bool channel_name_ok(const std::string& name) {
    if (name.empty() || name.size() > kMaxChannelName) {
        return false;
    }
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    return true;
}
