// The least a Windows program built like BrindlewickSetup.exe costs to start and end.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
