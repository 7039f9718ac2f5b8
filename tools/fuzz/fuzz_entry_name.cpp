// The entry-name rules on any name, separators unified first as extraction does.
#include "package/entry_name.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!entry_name_is_safe(name)) {
        return 0;
    }
    // Whatever else it holds, a safe name stays below the folder it is extracted into.
    if (name[0] == '/' || name.find(':') != std::string::npos) {
        std::abort();
    }
    for (size_t begin = 0; begin <= name.size();) {
        const size_t end = std::min(name.find('/', begin), name.size());
        if (name.compare(begin, end - begin, "..") == 0) {
            std::abort();
        }
        begin = end + 1;
    }
    return 0;
}
