// Replacements for pieces of the MinGW C and C++ runtimes that a statically linked
// program carries for nothing. Linked into the executable only; the tests use the
// runtimes' own.
#include <cstdarg>
#include <cstddef>
#include <cstdlib>

#if defined(__GLIBCXX__)

// This program is built without exceptions, and a GUI program has no console to print
// to. The C++ runtime's default terminate handler demangles the name of an uncaught
// exception's type for such a console message, and its demangler alone weighs about
// 45 KiB in a static build. Ending at once is all that could happen anyway.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx

// The C++ runtime keeps its exception bookkeeping per thread, and with this compiler
// that drags in an emulation of thread-local storage and a POSIX threads library,
// about 26 KiB. Here an exception only ever travels from the runtime's own error
// helpers to the terminate handler above, so one record for the process serves.
namespace __cxxabiv1 {
struct __cxa_eh_globals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};
} // namespace __cxxabiv1

namespace {
__cxxabiv1::__cxa_eh_globals exception_globals;
} // namespace

extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals() noexcept {
    return &exception_globals;
}

extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals_fast() noexcept {
    return &exception_globals;
}
#endif

#if defined(__MINGW32__)

// MinGW's C++ headers send printf and strtod to portable implementations of its own,
// which bring about 37 KiB of number formatting and parsing code. msvcrt.dll, present
// on every Windows, has these functions; the formats used here (the log's %s and %lu,
// the JSON library's %04x and %.4X, numbers it parses and never looks at) mean the
// same to both.
extern "C" {

int __cdecl msvcrt_vsnprintf(char* buffer, size_t size, const char* format,
                             va_list args) __asm__("_vsnprintf");
int __cdecl msvcrt_vscprintf(const char* format, va_list args) __asm__("_vscprintf");
int __cdecl msvcrt_vfprintf(void* file, const char* format, va_list args) __asm__("vfprintf");
double __cdecl msvcrt_strtod(const char* text, char** end) __asm__("strtod");

// With C99's results: the full length, and the output always terminated.
int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = msvcrt_vscprintf(format, measure);
    va_end(measure);
    const int written = msvcrt_vsnprintf(buffer, size, format, args);
    if (size > 0 && (written < 0 || static_cast<size_t>(written) >= size)) {
        buffer[size - 1] = '\0';
    }
    return needed;
}

int __cdecl __mingw_vfprintf(void* file, const char* format, va_list args) {
    return msvcrt_vfprintf(file, format, args);
}

double __cdecl __mingw_strtod(const char* text, char** end) {
    return msvcrt_strtod(text, end);
}

} // extern "C"
#endif
