// SHA-256 digests of files.
#pragma once

#include <string>

// Sets `hex` to the file's digest as 64 lowercase hexadecimal characters. False, with
// `hex` empty, when the file cannot be opened or hashing fails. Reads through one
// process-wide buffer, so only one thread may hash at a time.
bool sha256_file(const std::wstring& path, std::string& hex);
