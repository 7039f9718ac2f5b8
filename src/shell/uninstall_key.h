// The entry in the Windows list of installed programs, per user, under
// HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindlewick.
#pragma once

#include <string>

// Writes or refreshes every value of the entry for the UTF-8 `version`, measuring the
// install root for the size estimate. False only when the key cannot be opened;
// a value that fails to write is left out silently.
bool write_uninstall_key(const std::string& version);

// Deletes the entry; a missing one is fine.
void remove_uninstall_key();
