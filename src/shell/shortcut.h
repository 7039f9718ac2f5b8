// The "Brindlewick.lnk" shortcuts in the Start menu's Programs folder and on the
// desktop. Both start the installed stub, which picks the version to run.
//
// src/shell builds on src/state only.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <string>

// The shortcut's full path in the known folder; empty when the folder is unknown.
std::wstring shortcut_path(REFKNOWNFOLDERID folder);

// Saves a shell link to <root>\updater.exe at `path`, overwriting any file there.
// Needs COM on the calling thread.
bool write_lnk(const std::wstring& path);

// Writes both shortcuts under a COM apartment of its own. The result is the Start
// menu's: a missing desktop shortcut is not worth failing an installation for.
bool make_shortcut();

// Deletes both shortcuts; absent ones are fine.
void remove_shortcut();
