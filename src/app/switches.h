// The switches that change how a role runs, for administrators who deploy it unattended.
#pragma once

// What the command line asks of the installer and the uninstaller roles.
struct Switches {
    bool quiet = false;           // "/quiet": no window, no box; the outcome is the exit code
    bool launch = false;          // "/launch": a quiet installation starts the application
    bool remove_settings = false; // "/removesettings": a quiet uninstallation removes them too
    bool uninstall = false;       // "/uninstall" as a whole argument, in any letter case
};

// Reads the switches from the command line (null reads as empty). Each counts only as a
// whole argument, in any letter case, quoted or not; anything else is ignored.
Switches switches_parse(const wchar_t* command_line);
