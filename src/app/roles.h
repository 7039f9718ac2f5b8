// The work of each role; each returns the process exit code.
#pragma once

int run_uninstaller_role();
int run_installer_role();
int run_updater_role();
