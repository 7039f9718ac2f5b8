// The uninstaller role: remove Brindlewick from this computer after a confirmation.
#pragma once

// Asks first; while a program below the install root runs (the application, another
// stub), asks to close it, and changes nothing on Cancel. Then, asking about the
// settings folder %APPDATA%\Brindlewick too, removes install.json, everything else below
// the root but the stub, the settings when wanted, the shortcuts, the registration, and
// last the stub and the root; the running stub is moved to the temporary folder for a
// detached command shell to delete once this process has ended. A root that cannot be
// resolved is left alone. Failures are silent.
void uninstall_flow();
