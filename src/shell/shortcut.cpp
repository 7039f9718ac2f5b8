#include "shell/shortcut.h"

#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"

#include <objbase.h>
#include <shobjidl.h>

std::wstring shortcut_path(REFKNOWNFOLDERID folder) {
    PWSTR path = nullptr;
    if (FAILED(SHGetKnownFolderPath(folder, 0, nullptr, &path))) {
        return std::wstring();
    }
    std::wstring result = std::wstring(path) + L"\\Brindlewick.lnk";
    CoTaskMemFree(path);
    return result;
}

bool write_lnk(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    const std::wstring root = root_dir();
    const std::wstring target = installed_updater();
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return false;
    }
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(root.c_str());
    link->SetIconLocation(target.c_str(), 0);
    link->SetDescription(L"Brindlewick");
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        link->Release();
        return false;
    }
    const HRESULT saved = file->Save(path.c_str(), TRUE);
    file->Release();
    link->Release();
    // On the disk before install.json, which is written after it and flushed, can say
    // the installation is whole.
    return SUCCEEDED(saved) && flush_file(path);
}

bool make_shortcut() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool start_menu = write_lnk(shortcut_path(FOLDERID_Programs));
    write_lnk(shortcut_path(FOLDERID_Desktop));
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return start_menu;
}

void remove_shortcut() {
    for (const std::wstring& path :
         {shortcut_path(FOLDERID_Programs), shortcut_path(FOLDERID_Desktop)}) {
        if (!path.empty()) {
            fs_delete(path);
        }
    }
}
