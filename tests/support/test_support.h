// Helpers shared by the test programs.
#pragma once

#include <string>

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

// Copies the stand-in application (fake_app.exe) to `target`; false on failure.
bool place_fake_app(const std::wstring& target);

bool write_file(const std::wstring& path, const std::string& bytes);

// The file's bytes; `exists` (when given) tells whether it could be read at all.
std::string read_file(const std::wstring& path, bool* exists = nullptr);

bool is_directory(const std::wstring& path);

// Entries in a folder, "." and ".." not counted; -1 when it cannot be listed.
int dir_entry_count(const std::wstring& path);
