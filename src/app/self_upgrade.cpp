#include "app/self_upgrade.h"

#include "app/stub_swap.h"
#include "package/sha256_file.h"
#include "state/paths.h"
#include "state/update_log.h"

void self_upgrade(const std::string& version) {
    const std::wstring shipped = release_updater(version);
    if (!file_exists(shipped)) {
        return;
    }
    std::string shipped_digest;
    std::string stub_digest;
    if (!sha256_file(shipped, shipped_digest) || !sha256_file(installed_updater(), stub_digest) ||
        shipped_digest == stub_digest) {
        return;
    }
    if (stub_swap_in(shipped, shipped_digest)) {
        log_line("updater self-upgraded from app-%s", version.c_str());
    }
}
