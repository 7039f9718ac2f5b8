// SHA-256 digests of files.
#pragma once

#include <string>

// Sets `hex` to the file's digest as 64 lowercase hexadecimal characters. False, with
// `hex` empty, when the file cannot be opened or read or hashing fails.
bool sha256_file(const std::wstring& path, std::string& hex);
