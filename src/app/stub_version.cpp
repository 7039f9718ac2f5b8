#include "app/stub_version.h"

#include "build_config.h"

#include <windows.h>

#include <cstring>

namespace {

// VS_VERSIONINFO: three 16-bit fields, the key "VS_VERSION_INFO" with its NUL, padding
// to 32 bits, then VS_FIXEDFILEINFO.
constexpr size_t kFixedInfoOffset = 40;
constexpr DWORD kFixedInfoSignature = 0xFEEF04BD;

bool version_in(HMODULE module, Ver& version) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const unsigned char* data =
        loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    const DWORD size = found != nullptr ? SizeofResource(module, found) : 0;
    VS_FIXEDFILEINFO fixed;
    if (data == nullptr || size < kFixedInfoOffset + sizeof fixed) {
        return false;
    }
    std::memcpy(&fixed, data + kFixedInfoOffset, sizeof fixed);
    if (fixed.dwSignature != kFixedInfoSignature) {
        return false;
    }
    version.parts[0] = HIWORD(fixed.dwFileVersionMS);
    version.parts[1] = LOWORD(fixed.dwFileVersionMS);
    version.parts[2] = HIWORD(fixed.dwFileVersionLS);
    version.parts[3] = LOWORD(fixed.dwFileVersionLS);
    return true;
}

} // namespace

bool stub_file_version(const std::wstring& path, Ver& version) {
    // Mapped as data: nothing of the file runs, and nothing it imports is loaded.
    const HMODULE module = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return false;
    }
    const bool read = version_in(module, version);
    FreeLibrary(module);
    return read;
}

bool stub_own_version(Ver& version) {
    return version_in(GetModuleHandleW(nullptr), version);
}

bool stub_self_check() {
    Ver stated;
    Ver built;
    return stub_own_version(stated) && ver_parse(STUB_VERSION, built) &&
           ver_cmp(stated, built) == 0;
}
