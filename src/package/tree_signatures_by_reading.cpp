// The signature check of a tree whose program images nobody listed: its own object, so
// that the program, which always has them listed by the extraction, does not carry it.
#include "package/image_header.h"
#include "package/tree_signatures.h"
#include "state/file_tree.h"

#include <windows.h>

#include <cstdint>
#include <vector>

namespace {

// What the first bytes of a file make it.
enum class Content { data, image, unreadable };

Content file_content(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Content::unreadable;
    }
    Content content = Content::unreadable;
    ImageHeader header = {};
    unsigned char bytes[sizeof header.dos];
    DWORD got = 0;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size) && ReadFile(file, bytes, sizeof bytes, &got, nullptr)) {
        image_header_feed(header, 0, bytes, got);
        content = Content::data;
        // The signature where the header names it, unless the bytes read hold it already;
        // one that would end past the file makes no image.
        LARGE_INTEGER at = {};
        uint64_t offset = 0;
        if (image_header_pe_offset(header, offset) && offset + 4 > sizeof bytes &&
            offset + 4 <= static_cast<uint64_t>(size.QuadPart)) {
            at.QuadPart = static_cast<LONGLONG>(offset);
            if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
                !ReadFile(file, bytes, 4, &got, nullptr) || got != 4) {
                content = Content::unreadable;
            } else {
                image_header_feed(header, offset, bytes, got);
            }
        }
        if (content == Content::data && image_header_is_image(header)) {
            content = Content::image;
        }
    }
    CloseHandle(file);
    return content;
}

// The images below `dir`, found by reading every file's first bytes. False when a
// folder cannot be listed or a file read: what it holds cannot be let through unknown.
bool images_by_reading(const std::wstring& dir, std::vector<std::wstring>& images) {
    return walk_files(dir, [&](const std::wstring& rel) {
        const Content content = file_content(dir + L"\\" + rel);
        if (content == Content::image) {
            images.push_back(rel);
        }
        return content != Content::unreadable;
    });
}

} // namespace

bool verify_tree_signatures_with_pin(const std::wstring& dir, const char* pin,
                                     std::wstring& error) {
    std::vector<std::wstring> images;
    if (*pin != '\0' && !images_by_reading(dir, images)) {
        error = L"cannot read the unpacked release";
        return false;
    }
    return verify_listed_signatures_with_pin(dir, images, pin, error);
}
