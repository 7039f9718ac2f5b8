// The uninstaller role: remove Brindlewick from this computer after a confirmation.
#pragma once

// Asks first, and whether to remove the settings folder %APPDATA%\Brindlewick too when
// there is one. While a program below the install root runs (the application, another
// stub) or another process holds the updater lock, asks to close it or to wait, and
// changes nothing on Cancel. Then, holding the lock, removes install.json, everything
// else below the root but the stub, the settings when wanted, the shortcuts, the stub
// and the root, and last the registration; the running stub is moved to the temporary
// folder for a detached command shell to delete once this process has ended. A root
// that cannot be resolved is left alone. Failures are silent.
void uninstall_flow();
