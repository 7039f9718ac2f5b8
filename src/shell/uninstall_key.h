// The entry in the Windows list of installed programs, per user, under
// HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindlewick.
#pragma once

#include <string>

// Writes or refreshes every value of the entry for the UTF-8 `version`, measuring the
// install root for the size estimate. False only when the key cannot be opened;
// a value that fails to write is left out silently.
bool write_uninstall_key(const std::string& version);

// Writes the entry again (write_uninstall_key) when it is behind the record: gone, not
// naming `version`, or with a size estimate that is off by more than a tenth (a version
// folder added or removed since). A commit killed between its record and its entry
// leaves one such. False when it was behind and could not be written.
bool uninstall_key_follow(const std::string& version);

// Deletes the entry; a missing one is fine.
void remove_uninstall_key();
