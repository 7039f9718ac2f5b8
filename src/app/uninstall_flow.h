// The uninstaller role: remove Brindlewick from this computer after a confirmation.
#pragma once

// Asks first, and whether to remove the settings folder %APPDATA%\Brindlewick too when
// there is one. While a program below the install root runs (the application, another
// stub) or another process holds the updater lock, asks to close it or to wait, and
// changes nothing on Cancel. Then, holding the lock, removes install.json, everything
// else below the root but the stub, the settings when wanted, the shortcuts, the stub
// and the root, and last the registration; the running stub is moved to the temporary
// folder for a detached command shell to delete once this process has ended. A root
// that cannot be resolved is left alone. Failures are silent; returns 0.
// With `quiet` it asks nothing, for unattended removal: the settings go only with
// `remove_settings`; another process's hold on the updater lock is waited for up to five
// minutes; a running program of the installation is not. Returns 0 once removed, 1 when
// such a program runs and 3 when the lock stayed held, both logged, with nothing removed;
// and 1, logged, when files another program holds stayed below the root (the rest is
// removed, the registration too, and the shell tries the root once more).
int uninstall_flow(bool quiet, bool remove_settings);
