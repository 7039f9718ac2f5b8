// Telling whether a file on the disk is a program image, from the few bytes that say.
#pragma once

#include <string>

// Reads the DOS header of the file at `path` and the PE signature where it names it,
// and sets `is_image`. A file too short for either is no image. False, with `is_image`
// false, when the file cannot be opened or read.
bool image_file_read(const std::wstring& path, bool& is_image);
