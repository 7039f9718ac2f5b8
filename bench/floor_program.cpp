// The floor under the stub's cost on every start of the application: a program built like
// BrindlewickSetup.exe that makes only the platform calls the stub cannot do without on
// that road, the known-folder lookup of the local application data folder and the
// creation of the application's process (in its own folder), named by the command line
// relative to that folder.
#include <windows.h>

#include <shlobj.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        return 1;
    }
    const std::wstring app = std::wstring(folder) + L"\\" + command_line;
    CoTaskMemFree(folder);
    std::wstring command = L"\"" + app + L"\"";
    const std::wstring directory = app.substr(0, app.rfind(L'\\'));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(app.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
