// The one road by which a release reaches the disk: download, digest, extract, check,
// and one rename into <root>\app-<version>.
//
// src/package builds on src/state, src/update and src/ui, and on nothing else in src.
#pragma once

#include "update/manifest.h"

#include <string>
#include <vector>

// Makes app_dir(manifest.version) hold exactly the package's tree, replacing a folder
// of that version that exists. When the manifest offers a delta from `installed` (the
// installed version, or empty) and that version's folder is there, the tree is built
// from the folder and the delta first; should anything on that road fail, a line
// "delta <installed>-><version> failed: <reason>; fetching the full package" goes to the
// log and the package is fetched after all. `show_progress` reports to the progress
// window. Before each download the disk is asked for the rest of it and the tree, which
// takes at least the package's size; and before unpacking, for the tree's own size
// ("not enough disk space: needs N MB on X:, M MB free"). A delta road that fails for
// the machine (a full disk, a file held too long) fails the call: the package would need
// more of the same. On failure `error` says why, a folder of the same version that
// existed is still whole, and no scratch file or folder is left but the downloads worth
// keeping for the next call: one cut short, to continue (download_resumable), and one
// verified whose staging the machine failed, to use as it is. On success the download is
// kept too, until the caller has recorded the version and prunes it (download_prune): a
// record that cannot be saved then costs no download. Callers keep other runs off the
// scratch names with the updater lock.
bool fetch_and_stage(const Manifest& manifest, const std::string& installed, bool show_progress,
                     std::wstring& error);

// The digests of what fetch_and_stage(manifest, installed, ...) may download: the
// package, and the delta offered from `installed`, if any. Downloads of these are kept
// from one run to the next; any other is pruned.
std::vector<std::string> stage_download_digests(const Manifest& manifest,
                                                const std::string& installed);

// A replacement cut short (the process ended between its two renames) can leave the only
// copy of a version under its set-aside name, <root>\replaced-<version>: it goes back
// when the version's folder is missing, and is removed otherwise. Best effort; callers
// hold the updater lock.
void stage_settle_set_aside();
