// The switches that change how a role runs, for administrators who deploy it unattended.
#pragma once

#include <string>

// What the command line asks of the installer, the stub and the uninstaller roles.
struct Switches {
    bool quiet = false;           // "/quiet": no window, no box; the outcome is the exit code
    bool launch = false;          // "/launch": a quiet installation starts the application
    bool remove_settings = false; // "/removesettings": a quiet uninstallation removes them too
    bool uninstall = false;       // "/uninstall" as a whole argument, in any letter case
    bool check = false;           // "/check": the stub checks now and says what it found
    bool apply = false;           // "/apply": the stub waits for its caller, then starts
    unsigned long wait_pid = 0;   // "/wait PID": the process /apply waits for; 0: its parent
    // "/channel=NAME": the channel to follow, as written ("" for the default), with
    // `channel_given` set; the flows check the name.
    std::string channel;
    bool channel_given = false;
};

// Reads the switches from the command line (null reads as empty). Each counts only as a
// whole argument, in any letter case, quoted or not ("/wait" with the argument after
// it, a decimal number); anything else is ignored.
Switches switches_parse(const wchar_t* command_line);
