// The uninstaller role: remove Brindlewick from this computer after a confirmation.
#pragma once

// Asks first; on Yes removes the shortcuts and the registration, the settings folder
// %APPDATA%\Brindlewick when the user also wants that, and hands the removal of the
// install root to a detached command shell that waits for this process to end. A root
// that cannot be resolved, or that the shell could not be given safely (it holds a
// "%"), is left in place. Failures are silent.
void uninstall_flow();
