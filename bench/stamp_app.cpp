// Stands in for the application in the start-up benchmarks. Its entry point is its first
// instruction (no C runtime start-up): it reads the clock there, writes the reading to
// "stamp.txt" beside itself and ends.
#include <windows.h>

extern "C" void __stdcall stamp_entry() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t path[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') {
        --length;
    }
    const wchar_t name[] = L"stamp.txt";
    for (DWORD i = 0; i < sizeof name / sizeof name[0]; ++i) {
        path[length + i] = name[i];
    }
    char digits[24];
    int count = 0;
    for (unsigned long long value = static_cast<unsigned long long>(now.QuadPart);
         count == 0 || value > 0; value /= 10) {
        digits[23 - count++] = static_cast<char>('0' + value % 10);
    }
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, digits + 24 - count, static_cast<DWORD>(count), &written, nullptr);
    CloseHandle(file);
    ExitProcess(0);
}
