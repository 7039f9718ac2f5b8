// Which of its roles a start of the program plays.
//
// src/app holds the program's flows and may include every other folder of src.
#pragma once

#include <string>

enum class Role {
    uninstaller, // "/uninstall" in the command line, or as an argument in any letter case
    self_check,  // "/selfcheck": a new stub proving that it runs, before it is put in place
    no_root,     // the install root cannot be resolved: exit at once
    installer,   // any copy other than the installed stub
    updater,     // the installed stub, <root>\updater.exe
};

// Decides from the command line (may be null) and the running executable's path.
// The root is resolved through `find_root` only when the command line does not ask for
// the uninstaller, which resolves it itself when it needs it. The program is the stub
// when it is the file <root>\updater.exe, however either path is written.
Role select_role(const wchar_t* command_line, std::wstring (*find_root)(),
                 const std::wstring& own_path);
