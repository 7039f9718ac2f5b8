#include "package/fetch_and_stage.h"

#include "package/download_resumable.h"
#include "package/tree_signatures.h"
#include "package/zip_extract.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "state/text.h"
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
    const DWORD attributes = GetFileAttributesW(path.c_str());
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
    if (replacing && !MoveFileExW(target.c_str(), aside.c_str(), 0)) {
        return false;
    }
    if (!MoveFileExW(staged.c_str(), target.c_str(), 0)) {
        // Should this fail too, the next staging puts the folder back.
        if (replacing) {
            MoveFileExW(aside.c_str(), target.c_str(), 0);
        }
        return false;
    }
    if (replacing) {
        rm_tree(aside);
    }
    return true;
}

// Steps after the download and its digest check; the caller removes the scratch names
// whatever happens.
bool extract_and_place(const Manifest& manifest, const std::wstring& package,
                       const std::wstring& staging, std::wstring& error) {
    // An interrupted run's, if any. Files of it that cannot go (one held open, say) must
    // not become part of this version.
    if (!rm_path(staging)) {
        error = L"cannot clear the staging folder of an earlier run";
        return false;
    }
    std::vector<std::wstring> images;
    if (!zip_extract_listing_images(package, staging, images, error)) {
        return false;
    }
    if (!is_file(app_exe_in(staging))) {
        error = L"package has no brindlewick.exe";
        return false;
    }
    if (!verify_tree_signatures(staging, images, error)) {
        return false;
    }
    if (!move_into_place(staging, manifest.version)) {
        error = L"could not move staged version into place";
        return false;
    }
    return true;
}

} // namespace

void stage_settle_set_aside() {
    const size_t name_start = root_dir().size() + 1;
    const size_t version_start = replaced_dir("").size() - name_start;
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(replaced_dir("*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string version = w_to_utf8(std::wstring(entry.cFileName).substr(version_start));
        if (!ver_valid(version)) {
            continue;
        }
        const std::wstring aside = replaced_dir(version);
        if (file_exists(app_dir(version)) ||
            !MoveFileExW(aside.c_str(), app_dir(version).c_str(), 0)) {
            rm_tree(aside);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

bool fetch_and_stage(const Manifest& manifest, bool show_progress, std::wstring& error) {
    const std::wstring staging = staging_dir();
    Progress progress;
    if (show_progress) {
        ui_status((L"Downloading Brindlewick " + utf8_to_w(manifest.version) + L"...").c_str());
        progress = window_progress();
    }
    std::wstring package;
    if (!download_resumable(manifest.url, manifest.sha256, manifest.size, progress, package,
                            error)) {
        return false;
    }
    if (show_progress) {
        ui_status(L"Verifying...");
        ui_progress(-1);
    }
    std::wstring failure;
    const bool staged = extract_and_place(manifest, package, staging, failure);
    download_discard(manifest.sha256);
    if (!staged) {
        rm_tree(staging);
        error = failure;
    }
    return staged;
}
