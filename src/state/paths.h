// The install root, %LOCALAPPDATA%\Brindlewick, and the fixed names below it.
//
// src/state is the base layer: it includes nothing else from src (the generated
// build_config.h aside). src/ui includes nothing from src either; src/update and
// src/shell build on src/state; src/package on src/state, src/update and src/ui;
// src/app may include everything. Nothing includes upwards.
#pragma once

#include <string>

// The root without a trailing backslash, created on first use and cached for the
// process; empty when the local application-data folder cannot be resolved.
std::wstring root_dir();

std::wstring app_dir(const std::string& version); // <root>\app-<version>
std::wstring app_exe(const std::string& version); // <root>\app-<version>\brindlewick.exe
std::wstring app_exe_in(const std::wstring& dir); // <dir>\brindlewick.exe
// <root>\app-<version>\brindlewick.events: a package holding it asks for its program to be
// run at the installation's events.
std::wstring events_marker(const std::string& version);
// <root>\app-<version>\updater.exe: the stub a release ships.
std::wstring release_updater(const std::string& version);

std::wstring installed_updater(); // <root>\updater.exe
std::wstring installed_updater_in(const std::wstring& root);
std::wstring old_updater();      // <root>\updater.old.exe: the stub a self-upgrade replaced
std::wstring incoming_updater(); // <root>\updater.new.exe: a new stub before it is swapped in

std::wstring state_file();      // <root>\install.json
std::wstring state_temp_file(); // <root>\install.json.tmp: the next content, before its rename
std::wstring log_file();        // <root>\updater.log
// <temp>\Brindlewick-updater.log: where the log goes when the root cannot be found; empty
// when the temporary folder cannot be either.
std::wstring rootless_log_file();

// Scratch names of staging, one of each per root.
std::wstring download_file(); // <root>\dl-tmp.zip: where earlier versions downloaded to
// <root>\dl-<sha256>.partial: the download of the file of that digest (lowercase), kept
// between runs while incomplete, and the server's validator of its bytes beside it in
// <root>\dl-<sha256>.validator.
std::wstring download_partial(const std::string& sha256);
std::wstring download_validator(const std::string& sha256);
// The digest a name of download_partial or download_validator stands for (as written in
// the name); empty for any other name. `name` is a bare file name.
std::string download_digest_of(const std::wstring& name);
std::wstring download_names(); // <root>\dl-*: a pattern that matches both names

std::wstring staging_dir();      // <root>\staging-tmp: the package being extracted
std::wstring delta_patch_file(); // <root>\delta-patch.tmp: a patch of a delta package, unpacked
// <root>\replaced-<version>: the version's folder set aside while it is replaced.
std::wstring replaced_dir(const std::string& version);
// <root>\trial-failed-<version>: says that the staged version failed its trial when the
// record that would say so could not be saved.
std::wstring failed_trial_mark(const std::string& version);

// `path` in the form that lifts the 260-character limit: "X:\..." as "\\?\X:\..." and
// "\\server\share\..." as "\\?\UNC\server\share\...", its slashes made backslashes and its
// "." and ".." components resolved first (never above the drive or the share), for the
// system no longer does either in that form. A path in that form already (or "\\.\") and
// a relative one are returned as they are. What the file operations (state/fs.h) hand
// the system; process creation and the shell take the ordinary form.
std::wstring path_extended(const std::wstring& path);

// The user's temporary folder, ending in a backslash; empty when it cannot be found.
std::wstring temp_dir();

// Full path of the running executable.
std::wstring own_path();

// True for an existing file or directory; any failure counts as absence.
bool file_exists(const std::wstring& path);

// True when both paths name one file, whatever way each is written (letter case, a short
// name, another drive letter for the same folder): compared by volume and file index.
// When either cannot be opened, the paths are compared as text, ignoring case.
bool same_file(const std::wstring& a, const std::wstring& b);
