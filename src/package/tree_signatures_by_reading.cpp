// The signature check of a tree whose program images nobody listed: its own object, so
// that the program, which always has them listed by the extraction, does not carry it.
#include "package/image_file.h"
#include "package/tree_signatures.h"
#include "state/file_tree.h"

#include <vector>

namespace {

// The images below `dir`, found by reading every file's first bytes. False when a
// folder cannot be listed or a file read: what it holds cannot be let through unknown.
bool images_by_reading(const std::wstring& dir, std::vector<std::wstring>& images) {
    return walk_files(dir, [&](const std::wstring& rel) {
        bool is_image = false;
        if (!image_file_read(dir + L"\\" + rel, is_image)) {
            return false;
        }
        if (is_image) {
            images.push_back(rel);
        }
        return true;
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
