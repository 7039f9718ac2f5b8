#include "package/fetch_and_stage.h"

#include "package/delta_build.h"
#include "package/download_resumable.h"
#include "package/tree_signatures.h"
#include "package/zip_extract.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/text.h"
#include "state/update_log.h"
#include "state/version.h"
#include "ui/progress_window.h"
#include "update/transfer.h"

#include <windows.h>

namespace {

// Posts a percentage only when it changes: a large download has tens of thousands of
// chunks, and each post would wait in the window's queue.
Progress window_progress() {
    return [last = -2](uint64_t received, uint64_t announced) mutable {
        const int value = announced == 0 ? -1 : static_cast<int>(received * 100 / announced);
        if (value != last) {
            last = value;
            ui_progress(value);
        }
    };
}

// A folder of the program's name is no program.
bool is_file(const std::wstring& path) {
    const DWORD attributes = fs_attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Renames `staged` to the version's folder. A folder already there is set aside first
// and deleted only once the new one is in place, so that a replacement that cannot
// complete (files in use) leaves it whole.
bool move_into_place(const std::wstring& staged, const std::string& version) {
    stage_settle_set_aside();
    const std::wstring target = app_dir(version);
    const std::wstring aside = replaced_dir(version);
    const bool replacing = file_exists(target);
    if (replacing && !fs_rename(target, aside)) {
        return false;
    }
    if (!fs_rename(staged, target)) {
        // Should this fail too, the next staging puts the folder back.
        if (replacing) {
            fs_rename(aside, target);
        }
        return false;
    }
    if (replacing) {
        rm_tree(aside);
    }
    return true;
}

// An interrupted run's, if any. Files of it that cannot go (one held open, say) must not
// become part of this version.
bool clear_staging(const std::wstring& staging, std::wstring& error) {
    if (!rm_path(staging)) {
        error = L"cannot clear the staging folder of an earlier run";
        return false;
    }
    return true;
}

// Steps once the tree is in the staging folder, whichever road it came by. `machine`
// tells, on failure, whether the machine was at fault rather than the release.
bool check_and_move(const Manifest& manifest, const std::wstring& staging,
                    const std::vector<std::wstring>& images, std::wstring& error, bool& machine) {
    if (!is_file(app_exe_in(staging))) {
        error = L"package has no brindlewick.exe";
        return false;
    }
    if (!verify_tree_signatures(staging, images, error)) {
        return false;
    }
    if (!move_into_place(staging, manifest.version)) {
        error = L"could not move staged version into place";
        machine = true;
        return false;
    }
    return true;
}

// Steps after the download and its digest check.
bool extract_and_place(const Manifest& manifest, const std::wstring& package,
                       const std::wstring& staging, std::wstring& error, bool& machine) {
    std::vector<std::wstring> images;
    if (!clear_staging(staging, error)) {
        machine = true;
        return false;
    }
    return zip_extract_listing_images(package, staging, images, error, &machine) &&
           check_and_move(manifest, staging, images, error, machine);
}

// Whether the disk holds what staging a release still has to write: the rest of the
// download of `sha256` (`size` bytes; 0: not known, and nothing is asked) and the tree,
// which takes at least `tree_floor` bytes. A check that failed for want of room so costs
// no download while the disk stays full.
bool room_to_stage(const std::string& sha256, uint64_t size, uint64_t tree_floor,
                   std::wstring& error) {
    if (size == 0) {
        return true;
    }
    uint64_t have = 0; // none kept
    fs_size(download_partial(sha256), have);
    return fs_room_for(root_dir(), (have < size ? size - have : 0) + tree_floor, error);
}

// The tree built from the installed version's folder and the delta the manifest offers
// from it. The delta is dropped when it or the installed tree is at fault, and kept
// otherwise: when the download is cut short or the machine failed the staging
// (`machine`: a full disk, a file held too long), for the next run, and when it staged,
// until the caller has recorded the version.
bool stage_from_delta(const Manifest& manifest, const DeltaOffer& offer,
                      const std::string& installed, const Progress& progress, std::wstring& error,
                      bool& machine) {
    const std::wstring staging = staging_dir();
    // The new tree is no smaller than its package, whichever road it comes by.
    if (!room_to_stage(offer.sha256, offer.size, manifest.size, error)) {
        machine = true;
        return false;
    }
    std::wstring delta;
    if (!download_resumable(offer.url, offer.sha256, offer.size, progress, delta, error)) {
        return false;
    }
    std::vector<std::wstring> images;
    bool staged = clear_staging(staging, error);
    machine = !staged;
    staged = staged &&
             delta_build_tree(delta, manifest.sha256, app_dir(installed), staging, images, error,
                              &machine) &&
             check_and_move(manifest, staging, images, error, machine);
    if (!staged && !machine) {
        download_discard(offer.sha256);
    }
    if (!staged) {
        rm_tree(staging);
    }
    return staged;
}

} // namespace

void stage_settle_set_aside() {
    const size_t name_start = root_dir().size() + 1;
    const size_t version_start = replaced_dir("").size() - name_start;
    fs_list(replaced_dir("*"), [&](const WIN32_FIND_DATAW& entry) {
        const std::string version = w_to_utf8(std::wstring(entry.cFileName).substr(version_start));
        if (ver_valid(version)) {
            const std::wstring aside = replaced_dir(version);
            if (file_exists(app_dir(version)) || !fs_rename(aside, app_dir(version))) {
                rm_tree(aside);
            }
        }
        return true;
    });
}

std::vector<std::string> stage_download_digests(const Manifest& manifest,
                                                const std::string& installed) {
    std::vector<std::string> digests = {manifest.sha256};
    const DeltaOffer* offer = manifest_delta_from(manifest, installed);
    if (offer != nullptr) {
        digests.push_back(offer->sha256);
    }
    return digests;
}

bool fetch_and_stage(const Manifest& manifest, const std::string& installed, bool show_progress,
                     std::wstring& error) {
    const std::wstring staging = staging_dir();
    Progress progress;
    if (show_progress) {
        ui_status((L"Downloading Brindlewick " + utf8_to_w(manifest.version) + L"...").c_str());
        progress = window_progress();
    }
    // A delta costs what changed; whatever goes wrong on its road, the full package is
    // fetched in the same run, so that no update fails that the package would make.
    const DeltaOffer* offer =
        installed.empty() ? nullptr : manifest_delta_from(manifest, installed);
    if (offer != nullptr && file_exists(app_dir(installed))) {
        std::wstring failure;
        bool machine = false;
        if (stage_from_delta(manifest, *offer, installed, progress, failure, machine)) {
            return true;
        }
        // The package would need the same disk, and more of it.
        if (machine) {
            error = failure;
            return false;
        }
        log_line("delta %s->%s failed: %s; fetching the full package", installed.c_str(),
                 manifest.version.c_str(), w_to_utf8(failure).c_str());
        if (show_progress) {
            progress = window_progress();
        }
    }
    std::wstring package;
    if (!room_to_stage(manifest.sha256, manifest.size, manifest.size, error) ||
        !download_resumable(manifest.url, manifest.sha256, manifest.size, progress, package,
                            error)) {
        return false;
    }
    if (show_progress) {
        ui_status(L"Verifying...");
        ui_progress(-1);
    }
    std::wstring failure;
    bool machine = false;
    const bool staged = extract_and_place(manifest, package, staging, failure, machine);
    // A package whose contents were refused has served; one the machine failed is kept,
    // verified, for the next try, and so is one that staged until its caller has recorded
    // the version.
    if (!staged && !machine) {
        download_discard(manifest.sha256);
    }
    if (!staged) {
        rm_tree(staging);
        error = failure;
    }
    return staged;
}
