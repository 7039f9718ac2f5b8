#include "package/patch_apply.h"

#include "package/sha256_stream.h"
#include "state/fs.h"

#include <windows.h>

#define ZSTD_STATIC_LINKING_ONLY // frame headers, to check a patch before any file is made
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>

namespace {

// 2 GiB, the largest window the release tool asks for (--long=31). A frame decoded in
// one call needs no window buffer, so the decoder would take any window it can address;
// the limit keeps to what a streaming decoder with the same setting would accept.
const int kWindowLogMax = ZSTD_WINDOWLOG_MAX < 31 ? ZSTD_WINDOWLOG_MAX : 31;

// A whole file mapped for reading or writing. A file of 0 bytes has no mapping (one
// cannot be made) and no view.
struct MappedFile {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
    void* view = nullptr;
};

// Unmaps and closes what is open; false when a step of that fails.
bool close_mapped(MappedFile& mapped) {
    bool closed = true;
    if (mapped.view != nullptr) {
        closed = UnmapViewOfFile(mapped.view) != FALSE;
        mapped.view = nullptr;
    }
    if (mapped.mapping != nullptr) {
        closed = CloseHandle(mapped.mapping) && closed;
        mapped.mapping = nullptr;
    }
    if (mapped.file != INVALID_HANDLE_VALUE) {
        closed = CloseHandle(mapped.file) && closed;
        mapped.file = INVALID_HANDLE_VALUE;
    }
    return closed;
}

// Maps the base for reading. Others may read it meanwhile but not change it, so that
// the bytes decoded against stay the bytes that were there.
bool map_base(const std::wstring& path, MappedFile& base, size_t& size) {
    base.file = fs_open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    LARGE_INTEGER length;
    if (base.file == INVALID_HANDLE_VALUE || !GetFileSizeEx(base.file, &length) ||
        static_cast<uint64_t>(length.QuadPart) > SIZE_MAX) {
        return false;
    }
    size = static_cast<size_t>(length.QuadPart);
    if (size == 0) {
        return true;
    }
    base.mapping = CreateFileMappingW(base.file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (base.mapping == nullptr) {
        return false;
    }
    base.view = MapViewOfFile(base.mapping, FILE_MAP_READ, 0, 0, 0);
    return base.view != nullptr;
}

// Creates the result at its full size and maps it for writing: disk space runs out
// here, with an error, rather than as a fault while the decoder writes to the view.
bool map_out(const std::wstring& path, uint64_t size, MappedFile& out) {
    out.file = fs_open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    if (out.file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    out.mapping =
        CreateFileMappingW(out.file, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                           static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr);
    if (out.mapping == nullptr) {
        return false;
    }
    out.view = MapViewOfFile(out.mapping, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
    return out.view != nullptr;
}

// The decoder's verdict on one frame, with the base as its prefix, written into `out`.
enum class Decoded { Ok, WrongSize, Fails };

Decoded decode(const void* prefix, size_t prefix_size, const void* patch, size_t patch_size,
               void* out, size_t out_size) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    if (context == nullptr) {
        return Decoded::Fails;
    }
    size_t result = ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kWindowLogMax);
    // An empty base is no prefix: the patch was made against nothing.
    if (!ZSTD_isError(result) && prefix_size > 0) {
        result = ZSTD_DCtx_refPrefix(context, prefix, prefix_size);
    }
    // A result of 0 bytes still needs somewhere to point.
    unsigned char none = 0;
    if (!ZSTD_isError(result)) {
        result =
            ZSTD_decompressDCtx(context, out != nullptr ? out : &none, out_size, patch, patch_size);
    }
    ZSTD_freeDCtx(context);
    if (ZSTD_isError(result)) {
        return ZSTD_getErrorCode(result) == ZSTD_error_dstSize_tooSmall ? Decoded::WrongSize
                                                                        : Decoded::Fails;
    }
    return result == out_size ? Decoded::Ok : Decoded::WrongSize;
}

// The digest of the result, from its view while the bytes just decoded are at hand
// rather than from the file read back.
bool digest_of(const void* view, size_t size, std::string& sha256) {
    Sha256Stream stream;
    const bool ok = sha256_stream_open(stream) && sha256_stream_add(stream, view, size) &&
                    sha256_stream_finish(stream, sha256);
    sha256_stream_close(stream);
    return ok;
}

} // namespace

bool patch_apply(const std::wstring& base_path, const void* patch, size_t patch_size,
                 const std::wstring& out_path, uint64_t out_size, std::string& sha256,
                 std::wstring& error, bool* machine_fault) {
    sha256.clear();
    if (machine_fault != nullptr) {
        *machine_fault = false;
    }
    // The frame's header is checked before any file is touched. Exactly one frame:
    // concatenated ones would each decode against the base.
    ZSTD_frameHeader header;
    if (patch == nullptr || ZSTD_getFrameHeader(&header, patch, patch_size) != 0 ||
        header.frameType != ZSTD_frame ||
        header.windowSize > (static_cast<unsigned long long>(1) << kWindowLogMax) ||
        ZSTD_findFrameCompressedSize(patch, patch_size) != patch_size) {
        error = L"patch does not decode";
        return false;
    }
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN &&
        header.frameContentSize != out_size) {
        error = L"patch result has the wrong size";
        return false;
    }
    if (out_size > SIZE_MAX) {
        error = L"cannot write " + out_path;
        return false;
    }
    MappedFile base;
    size_t base_size = 0;
    if (!map_base(base_path, base, base_size)) {
        close_mapped(base);
        error = L"cannot read " + base_path;
        return false;
    }
    // Extending a file into a mapping may pass on a full disk (Wine lets it), and a write
    // into the view then faults and ends the process: the room is asked for first.
    const std::wstring folder = out_path.substr(0, out_path.rfind(L'\\'));
    if (!fs_room_for(folder, out_size, error)) {
        close_mapped(base);
        if (machine_fault != nullptr) {
            *machine_fault = true;
        }
        return false;
    }
    MappedFile out;
    const bool created = map_out(out_path, out_size, out);
    const DWORD out_error = created ? 0 : GetLastError();
    const bool made = out.file != INVALID_HANDLE_VALUE;
    Decoded decoded = Decoded::Fails;
    if (created) {
        decoded = decode(base.view, base_size, patch, patch_size, out.view,
                         static_cast<size_t>(out_size));
    }
    close_mapped(base);
    bool written = created && decoded == Decoded::Ok &&
                   digest_of(out.view, static_cast<size_t>(out_size), sha256);
    // On the disk before the caller renames the folder that holds it.
    if (written && out.view != nullptr) {
        written = FlushViewOfFile(out.view, 0) != FALSE;
    }
    if (written && out.view != nullptr) {
        written = UnmapViewOfFile(out.view) != FALSE;
        out.view = nullptr;
    }
    written = written && FlushFileBuffers(out.file);
    written = close_mapped(out) && written;
    if (written) {
        return true;
    }
    sha256.clear();
    if (made) {
        fs_delete(out_path);
    }
    if (created && decoded == Decoded::WrongSize) {
        error = L"patch result has the wrong size";
    } else if (created && decoded == Decoded::Fails) {
        error = L"patch does not decode";
    } else {
        error =
            fs_disk_full(out_error) ? fs_room_error(folder, out_size) : L"cannot write " + out_path;
        if (machine_fault != nullptr) {
            *machine_fault = true;
        }
    }
    return false;
}
