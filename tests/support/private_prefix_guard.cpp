// Linked into every test program that installs, removes or rewrites the per-user
// installation, its shortcuts or its registration: such a program refuses to run
// anywhere but in the build's private Wine prefix, so that a native build's tests can
// never touch a developer's real installation.
#include "state/text.h"

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Looked up here rather than through root_dir, which would create the root.
std::wstring local_app_data() {
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path))) {
        result = path;
    }
    CoTaskMemFree(path);
    return result;
}

// The Unix path of the folder as Wine maps it; empty when not under Wine.
std::string unix_path(const std::wstring& folder) {
    using UnixFileName = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr || folder.empty()) {
        return std::string();
    }
    char* path = convert(folder.c_str());
    const std::string result = path != nullptr ? path : "";
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

class PrivatePrefixGuard : public ::testing::Environment {
  public:
    void SetUp() override {
        const std::string prefix = BW_TEST_WINE_PREFIX "/";
        const std::wstring folder = local_app_data();
        if (unix_path(folder).compare(0, prefix.size(), prefix) != 0) {
            std::fprintf(stderr,
                         "refusing to run: %s is not inside the build's private Wine "
                         "prefix %s\n",
                         w_to_utf8(folder).c_str(), prefix.c_str());
            std::exit(1);
        }
    }
};

const auto* const guard = ::testing::AddGlobalTestEnvironment(new PrivatePrefixGuard);

} // namespace
