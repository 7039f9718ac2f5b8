// The executable's load configuration: the DLLs it imports statically, and theirs in turn,
// are looked for in the system folder only, never beside the program. Linked into the
// executable only, and only by MinGW: cmake/set_load_config.py points the image's
// directory entry at this record, which that linker does not do by itself. (MSVC's
// runtime brings its own record, and its linker sets the flags: /DEPENDENTLOADFLAG.)
#include <windows.h>

#if defined(__MINGW32__)
extern "C" {
extern const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used;

// Constant, so that it is in the image as the loader reads it, before any code runs.
// These headers still call DependentLoadFlags by its older name, Reserved1. A section of
// its own lets the record be found in the image once its symbols are stripped.
__attribute__((section(".lcfg"))) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32,          0, 0, 0, 0};
}
#endif
