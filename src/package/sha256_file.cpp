#include "package/sha256_file.h"

#include "package/sha256_stream.h"
#include "state/fs.h"

#include <cstdio>
#include <cstdlib>

namespace {

const size_t kBufferSize = 64 * 1024;

} // namespace

bool sha256_file(const std::wstring& path, std::string& hex) {
    hex.clear();
    FILE* file = fs_read_stream(path);
    if (file == nullptr) {
        return false;
    }
    // From the heap: too large for a worker thread's stack, and a static array would
    // weigh its full size in the executable with this compiler.
    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kBufferSize));
    Sha256Stream stream;
    bool done = false;
    if (buffer != nullptr && sha256_stream_open(stream)) {
        for (;;) {
            const size_t got = std::fread(buffer, 1, kBufferSize, file);
            if (got == 0) {
                // A read error is no end of file: the digest of part of a file is wrong.
                done = !std::ferror(file) && sha256_stream_finish(stream, hex);
                break;
            }
            if (!sha256_stream_add(stream, buffer, got)) {
                break;
            }
        }
    }
    sha256_stream_close(stream);
    std::free(buffer);
    std::fclose(file);
    return done;
}
