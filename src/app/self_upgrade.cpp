#include "app/self_upgrade.h"

#include "app/stub_swap.h"
#include "app/stub_version.h"
#include "package/sha256_file.h"
#include "state/paths.h"
#include "state/text.h"
#include "state/update_log.h"

namespace {

enum class Wanted { not_older, newer };

void upgrade(const std::string& version, Wanted wanted) {
    const std::wstring shipped = release_updater(version);
    Ver theirs;
    Ver ours = {};
    if (!file_exists(shipped) || !stub_file_version(shipped, theirs)) {
        return;
    }
    stub_file_version(installed_updater(), ours);
    const int order = ver_cmp(theirs, ours);
    if (order < 0 || (order == 0 && wanted == Wanted::newer)) {
        return;
    }
    std::string shipped_digest;
    std::string stub_digest;
    if (!sha256_file(shipped, shipped_digest) || !sha256_file(installed_updater(), stub_digest) ||
        shipped_digest == stub_digest) {
        return;
    }
    std::wstring error;
    if (stub_swap_in(shipped, shipped_digest, error)) {
        log_line("updater self-upgraded from app-%s", version.c_str());
    } else {
        log_line("updater of app-%s not taken: %s", version.c_str(), w_to_utf8(error).c_str());
    }
}

} // namespace

void self_upgrade(const std::string& version) {
    upgrade(version, Wanted::not_older);
}

void self_upgrade_if_newer(const std::string& version) {
    upgrade(version, Wanted::newer);
}
