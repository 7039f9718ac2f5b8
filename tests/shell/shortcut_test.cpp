#include "shell/shortcut.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <objbase.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

namespace {

struct LinkFields {
    std::wstring target, directory, icon, description, arguments;
    int icon_index = -1;
    bool loaded = false;
};

// Reads a saved link back through the shell's own link object. Needs COM.
LinkFields read_lnk(const std::wstring& path) {
    LinkFields fields;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return fields;
    }
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH * 2] = L"";
            link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
            fields.target = text;
            link->GetWorkingDirectory(text, MAX_PATH * 2);
            fields.directory = text;
            link->GetIconLocation(text, MAX_PATH * 2, &fields.icon_index);
            fields.icon = text;
            link->GetDescription(text, MAX_PATH * 2);
            fields.description = text;
            text[0] = L'\0';
            link->GetArguments(text, MAX_PATH * 2);
            fields.arguments = text;
            fields.loaded = true;
        }
        file->Release();
    }
    link->Release();
    return fields;
}

class Shortcuts : public testing::Test {
  protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override {
        remove_shortcut();
        CoUninitialize();
    }
};

TEST_F(Shortcuts, BothStartTheStubInTheRootWithItsIcon) {
    const std::wstring programs = shortcut_path(FOLDERID_Programs);
    const std::wstring desktop = shortcut_path(FOLDERID_Desktop);
    ASSERT_NE(programs, L"");
    ASSERT_NE(desktop, L"");
    EXPECT_EQ(programs.substr(programs.rfind(L'\\')), L"\\Brindlewick.lnk");
    EXPECT_EQ(desktop.substr(desktop.rfind(L'\\')), L"\\Brindlewick.lnk");

    ASSERT_TRUE(make_shortcut());
    ASSERT_TRUE(make_shortcut()); // again, over the files of the first run
    for (const std::wstring& path : {programs, desktop}) {
        const LinkFields link = read_lnk(path);
        ASSERT_TRUE(link.loaded) << path;
        EXPECT_EQ(link.target, installed_updater());
        EXPECT_EQ(link.directory, root_dir());
        EXPECT_EQ(link.icon, installed_updater());
        EXPECT_EQ(link.icon_index, 0);
        EXPECT_EQ(link.description, L"Brindlewick");
        EXPECT_EQ(link.arguments, L"");
    }

    remove_shortcut();
    EXPECT_FALSE(file_exists(programs));
    EXPECT_FALSE(file_exists(desktop));
    remove_shortcut(); // nothing left to remove is no trouble
    EXPECT_FALSE(file_exists(programs));
}

TEST_F(Shortcuts, WriteLnkRefusesAnEmptyPathOrAMissingFolder) {
    EXPECT_FALSE(write_lnk(L""));
    ScratchDir scratch(L"lnk");
    EXPECT_FALSE(write_lnk(scratch / L"missing\\Brindlewick.lnk"));
}

// Points one of the user's shell folders somewhere that does not exist, for the life
// of the object.
struct MissingShellFolder {
    explicit MissingShellFolder(const wchar_t* value) : name(value) {
        RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_READ | KEY_WRITE, &key);
        DWORD size = sizeof saved;
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &size);
        saved_size = size;
        const wchar_t missing[] = L"C:\\no such folder\\anywhere";
        RegSetValueExW(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(missing),
                       sizeof missing);
    }
    ~MissingShellFolder() {
        RegSetValueExW(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(saved),
                       saved_size);
        RegCloseKey(key);
    }
    MissingShellFolder(const MissingShellFolder&) = delete;
    MissingShellFolder& operator=(const MissingShellFolder&) = delete;

    static constexpr wchar_t kShellFolders[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const wchar_t* name;
    HKEY key = nullptr;
    wchar_t saved[MAX_PATH * 2] = L"";
    DWORD saved_size = 0;
};

TEST_F(Shortcuts, OnlyTheStartMenuDecidesTheResult) {
    const std::wstring programs = shortcut_path(FOLDERID_Programs);
    const std::wstring desktop = shortcut_path(FOLDERID_Desktop);
    {
        MissingShellFolder gone(L"Programs");
        EXPECT_FALSE(make_shortcut());
    }
    EXPECT_TRUE(file_exists(desktop));
    EXPECT_FALSE(file_exists(programs));
    remove_shortcut();
    {
        MissingShellFolder gone(L"Desktop");
        EXPECT_TRUE(make_shortcut());
    }
    EXPECT_TRUE(file_exists(programs));
    EXPECT_FALSE(file_exists(desktop));
}

// `make_shortcut` undoes exactly its own COM initialisation, whatever the thread had.
unsigned __stdcall com_state_after_make_shortcut(void* with_apartment) {
    if (with_apartment != nullptr) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    const bool made = make_shortcut();
    // S_FALSE: the thread still has an apartment; S_OK: it had none left.
    const HRESULT after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoUninitialize();
    if (with_apartment != nullptr) {
        CoUninitialize();
    }
    return made ? static_cast<unsigned>(after) : ~0u;
}

HRESULT run_on_new_thread(bool with_apartment) {
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, com_state_after_make_shortcut,
                       with_apartment ? &with_apartment : nullptr, 0, nullptr));
    DWORD code = ~0u;
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
    }
    return static_cast<HRESULT>(code);
}

TEST_F(Shortcuts, MakeShortcutBalancesItsOwnComInitialisation) {
    EXPECT_EQ(run_on_new_thread(true), S_FALSE);
    EXPECT_EQ(run_on_new_thread(false), S_OK);
}

} // namespace
