// This program is built without exceptions, and a GUI program has no console to print
// to. The C++ runtime's default terminate handler demangles the name of an uncaught
// exception's type for such a console message, and its demangler alone weighs about
// 45 KiB in a static build. Ending at once is all that could happen anyway.
#include <cstdlib>

#if defined(__GLIBCXX__)

namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx
#endif
