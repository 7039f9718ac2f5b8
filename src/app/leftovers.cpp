#include "app/leftovers.h"

#include "package/fetch_and_stage.h"
#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "state/text.h"

#include <cwchar>

namespace {

bool is_recorded(const InstallState& record, const std::wstring& version) {
    for (const std::string* named : {&record.installed, &record.prev, &record.staged}) {
        // Letter case does not tell folders apart.
        if (!named->empty() && _wcsicmp(utf8_to_w(*named).c_str(), version.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Version folders no record names: a rollback or a commit that ended between saving the
// record and removing the folder, a staging that ended before it was recorded.
void remove_unrecorded_versions(const InstallState& record) {
    const std::wstring root = root_dir();
    const std::wstring prefix = app_dir("").substr(root.size() + 1); // "app-"
    fs_list(root + L"\\" + prefix + L"*", [&](const WIN32_FIND_DATAW& entry) {
        // The pattern also matches by short name: the long one is held to it again.
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            _wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) == 0 &&
            !is_recorded(record, name.substr(prefix.size()))) {
            rm_tree(root + L"\\" + name);
        }
        return true;
    });
}

// Marks of failed trials whose rollback has since been saved: the bad list says it now.
void remove_settled_marks(const InstallState& record) {
    const std::wstring any = failed_trial_mark("*");
    const size_t version_start = any.size() - 1 - root_dir().size() - 1;
    fs_list(any, [&](const WIN32_FIND_DATAW& entry) {
        const std::string version = w_to_utf8(std::wstring(entry.cFileName).substr(version_start));
        if (version != record.staged) {
            fs_delete(failed_trial_mark(version));
        }
        return true;
    });
}

} // namespace

void leftovers_remove(const InstallState& record) {
    stage_settle_set_aside();
    rm_path(staging_dir());
    for (const std::wstring& scratch :
         {download_file(), delta_patch_file(), incoming_updater(), state_temp_file()}) {
        fs_delete(scratch);
    }
    remove_unrecorded_versions(record);
    remove_settled_marks(record);
}
