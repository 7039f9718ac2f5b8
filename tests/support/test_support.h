// Helpers shared by the test programs.
#pragma once

#include <string>
#include <vector>

// A new empty folder under the prefix's temporary folder, removed with its content
// when the object goes.
struct ScratchDir {
    explicit ScratchDir(const wchar_t* label);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::wstring path;
    std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }
};

// The folder of the running test program, which also holds the programs under test.
std::wstring bin_dir();

// The known folder %LOCALAPPDATA%, looked up without creating the install root; empty
// when it cannot be resolved.
std::wstring local_app_data();

// The Unix path Wine maps a Windows path to; empty when not running under Wine.
std::string unix_path(const std::wstring& path);

// Copies the stand-in application (fake_app.exe) to `target`; false on failure.
bool place_fake_app(const std::wstring& target);

// Starts the program with spawn, waits up to 30 s for it to end and returns its exit
// code; ~0 when it could not be started or did not end.
unsigned long run_to_end(const std::wstring& exe, const std::wstring& args);

bool write_file(const std::wstring& path, const std::string& bytes);

// The file's bytes; `exists` (when given) tells whether it could be read at all.
std::string read_file(const std::wstring& path, bool* exists = nullptr);

bool is_directory(const std::wstring& path);

// Every file and folder below `dir`, as sorted relative paths; folders end in a
// backslash.
std::vector<std::wstring> list_tree(const std::wstring& dir);

// Entries in a folder, "." and ".." not counted; -1 when it cannot be listed.
int dir_entry_count(const std::wstring& path);

// Makes `link` a symbolic link to the folder `target`. Under Wine, whose own link call
// does nothing, a Unix link is made; on Windows it needs the right to create links.
// False when neither works here.
bool make_folder_link(const std::wstring& link, const std::wstring& target);
void remove_folder_link(const std::wstring& link);
