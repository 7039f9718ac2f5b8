// A DLL for the tests to plant under the names of system DLLs: whenever a process loads
// it, it appends its own path to C:\planted-dll-loaded.txt, so that a test sees any load.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t line[MAX_PATH + 1];
        DWORD length = GetModuleFileNameW(self, line, MAX_PATH);
        line[length++] = L'\n';
        const HANDLE file = CreateFileW(L"C:\\planted-dll-loaded.txt", FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD wrote = 0;
            WriteFile(file, line, length * static_cast<DWORD>(sizeof(wchar_t)), &wrote, nullptr);
            CloseHandle(file);
        }
    }
    return TRUE;
}
