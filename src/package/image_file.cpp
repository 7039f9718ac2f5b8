#include "package/image_file.h"

#include "package/image_header.h"
#include "state/fs.h"

#include <windows.h>

#include <cstdint>

bool image_file_read(const std::wstring& path, bool& is_image) {
    is_image = false;
    const HANDLE file =
        fs_open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ImageHeader header = {};
    unsigned char bytes[sizeof header.dos];
    DWORD got = 0;
    LARGE_INTEGER size = {};
    bool read = GetFileSizeEx(file, &size) && ReadFile(file, bytes, sizeof bytes, &got, nullptr);
    if (read) {
        image_header_feed(header, 0, bytes, got);
        // The signature where the header names it, unless the bytes read hold it already;
        // one that would end past the file makes no image.
        LARGE_INTEGER at = {};
        uint64_t offset = 0;
        if (image_header_pe_offset(header, offset) && offset + 4 > sizeof bytes &&
            offset + 4 <= static_cast<uint64_t>(size.QuadPart)) {
            at.QuadPart = static_cast<LONGLONG>(offset);
            read = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                   ReadFile(file, bytes, 4, &got, nullptr) && got == 4;
            if (read) {
                image_header_feed(header, offset, bytes, got);
            }
        }
        is_image = read && image_header_is_image(header);
    }
    CloseHandle(file);
    return read;
}
