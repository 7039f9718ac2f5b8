// Looks at and answers the program's windows for end-to-end tests and demonstrations.
//
//   ui_probe box CAPTION [BUTTON] [TIMEOUT_MS]
//       Waits for a message box with the caption, prints its text and presses BUTTON
//       (OK, Yes, No, Retry or Cancel) when one is named. Exit code 1 when none came in
//       time.
//   ui_probe watch [TIMEOUT_MS]
//       Waits for the progress window, then prints a line "<status>|<bar>" each time
//       the status text or the bar changes, until the window is gone. <bar> is
//       "marquee" or the position as "<n>%". Exit code 1 when no window came in time.
//   ui_probe spy MS
//       Prints "watching", then for MS milliseconds (0: until ended) a line
//       "<class>|<caption>" for every visible top-level window the program could show that
//       comes up: the progress window or a dialog, a message box among them.
//   ui_probe desktop
//       Opens a hidden window, prints "staying" and stays on the desktop until ended, so
//       that Wine keeps the desktop's process for the whole of a test run.
//   ui_probe layout [TIMEOUT_MS]
//       Waits for the progress window with its status line and bar, and prints
//       "client W H", "label L,T R,B" and "bar L,T R,B" (in its client pixels), a line
//       each.
//   ui_probe close [TIMEOUT_MS]
//       Waits for the progress window and tries every way a user has to close it: the
//       close message, the system menu's Close, Alt+F4. Prints "open" when the window
//       is still there half a second later, else "closed".
//   ui_probe shot FILE.png [TIMEOUT_MS] [STATUS]
//       Waits for the progress window (and for a status text that starts with STATUS,
//       when given) and saves the screen area it covers, frame included, as PNG; prints
//       its width and height.
//   ui_probe lnk FILE.lnk
//       Prints a shortcut's target, working folder, icon and description, a line each.
//   ui_probe hold PATH MS
//       Opens the file or folder, letting others read it but not write, rename or delete
//       it, prints "held" and keeps it so for MS milliseconds.
//   ui_probe lock MS
//       Holds the updater lock, the mutex "Local\BrindlewickUpdater", for MS milliseconds
//       once it could take it, and prints "locked" when it has it.
//   ui_probe squat MS
//       Makes an event named as the updater lock, which no mutex can then take, prints
//       "squatted" and keeps it for MS milliseconds.
//   ui_probe signatures DIR PIN
//       Checks the program files below DIR as the program built with the pins PIN (a
//       comma-separated list) checks an unpacked release, finding the program images by
//       reading every file's first bytes; prints "accepted" or the refusal.
//
// Texts are printed as UTF-8, line ends in them as "\n".
#include "package/tree_signatures.h"
#include "state/text.h"
#include "state/updater_lock.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>
#include <zlib.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const DWORD kDefaultTimeoutMs = 30000;

// One line of output: line breaks are written as "\n".
std::string utf8(const std::wstring& text) {
    std::string out;
    for (const char c : w_to_utf8(text)) {
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::wstring window_text(HWND window) {
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring class_of(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// Polls every 10 ms for a top-level window of the class (and caption, when given).
HWND wait_for_window(const wchar_t* window_class, const wchar_t* caption, DWORD timeout_ms) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        const HWND found = FindWindowW(window_class, caption);
        if (found != nullptr || GetTickCount64() >= end) {
            return found;
        }
        Sleep(10);
    }
}

struct Children {
    HWND label = nullptr;
    HWND bar = nullptr;
    std::wstring message; // the longest static text: a message box's text
};

BOOL CALLBACK collect_child(HWND child, LPARAM param) {
    Children& children = *reinterpret_cast<Children*>(param);
    const std::wstring kind = class_of(child);
    if (_wcsicmp(kind.c_str(), L"Static") == 0) {
        children.label = child;
        const std::wstring text = window_text(child);
        if (text.size() > children.message.size()) {
            children.message = text;
        }
    } else if (kind == PROGRESS_CLASSW) {
        children.bar = child;
    }
    return TRUE;
}

Children children_of(HWND window) {
    Children children;
    EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&children));
    return children;
}

DWORD timeout_arg(int argc, wchar_t** argv, int index) {
    return argc > index ? static_cast<DWORD>(_wtoi(argv[index])) : kDefaultTimeoutMs;
}

int answer_box(const wchar_t* caption, const wchar_t* button, DWORD timeout_ms) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    const HWND box = wait_for_window(L"#32770", caption, timeout_ms);
    if (box == nullptr) {
        std::printf("no box\n");
        return 1;
    }
    const int id = button == nullptr                  ? 0
                   : _wcsicmp(button, L"Yes") == 0    ? IDYES
                   : _wcsicmp(button, L"No") == 0     ? IDNO
                   : _wcsicmp(button, L"Retry") == 0  ? IDRETRY
                   : _wcsicmp(button, L"Cancel") == 0 ? IDCANCEL
                                                      : IDOK;
    // The box is found as soon as it exists: its text and buttons come after it, and it
    // is shown last.
    std::wstring text;
    HWND control = nullptr;
    for (;;) {
        text = children_of(box).message;
        control = id != 0 ? GetDlgItem(box, id) : nullptr;
        const bool whole = !text.empty() && IsWindowVisible(box) && (id == 0 || control != nullptr);
        if (whole || !IsWindow(box) || GetTickCount64() >= end) {
            break;
        }
        Sleep(10);
    }
    std::printf("%s\n", utf8(text).c_str());
    std::fflush(stdout);
    if (button == nullptr) {
        return 0;
    }
    if (control == nullptr) {
        std::printf("no button %ls\n", button);
        return 1;
    }
    // As a click on the button would: the dialog ends with its identifier.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return 0;
}

std::string bar_state(HWND bar) {
    if (bar == nullptr) {
        return "none";
    }
    if (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) {
        return "marquee";
    }
    return std::to_string(SendMessageW(bar, PBM_GETPOS, 0, 0)) + "%";
}

int watch(DWORD timeout_ms) {
    const HWND window = wait_for_window(L"BrindlewickSetup", nullptr, timeout_ms);
    if (window == nullptr) {
        std::printf("no window\n");
        return 1;
    }
    std::string last;
    bool complete = false; // the window is created before its status line and bar
    while (IsWindow(window)) {
        const Children children = children_of(window);
        if (children.label == nullptr || children.bar == nullptr) {
            if (complete) {
                break; // being destroyed
            }
            Sleep(2);
            continue;
        }
        complete = true;
        const std::string line = utf8(window_text(children.label)) + "|" + bar_state(children.bar);
        if (line != last && IsWindow(window)) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            last = line;
        }
        Sleep(2);
    }
    return 0;
}

BOOL CALLBACK note_window(HWND window, LPARAM param) {
    auto& seen = *reinterpret_cast<std::vector<HWND>*>(param);
    const std::wstring kind = class_of(window);
    if (IsWindowVisible(window) && (kind == L"BrindlewickSetup" || kind == L"#32770")) {
        bool known = false;
        for (const HWND earlier : seen) {
            known = known || earlier == window;
        }
        if (!known) {
            seen.push_back(window);
            std::printf("%s|%s\n", utf8(kind).c_str(), utf8(window_text(window)).c_str());
            std::fflush(stdout);
        }
    }
    return TRUE;
}

int spy(DWORD ms) {
    std::printf("watching\n");
    std::fflush(stdout);
    std::vector<HWND> seen;
    for (const ULONGLONG end = GetTickCount64() + ms; ms == 0 || GetTickCount64() < end;) {
        EnumWindows(note_window, reinterpret_cast<LPARAM>(&seen));
        Sleep(5);
    }
    return 0;
}

std::string rect_in(HWND parent, HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " +
           std::to_string(rect.right) + "," + std::to_string(rect.bottom);
}

int print_layout(DWORD timeout_ms) {
    const HWND window = wait_for_window(L"BrindlewickSetup", nullptr, timeout_ms);
    Children children;
    for (int tries = 0; window != nullptr && tries < 500; ++tries) {
        children = children_of(window);
        if (children.label != nullptr && children.bar != nullptr && IsWindowVisible(window)) {
            break;
        }
        Sleep(10);
    }
    if (children.label == nullptr || children.bar == nullptr) {
        std::printf("no window\n");
        return 1;
    }
    RECT client;
    GetClientRect(window, &client);
    std::printf("client %ld %ld\nlabel %s\nbar %s\n", client.right, client.bottom,
                rect_in(window, children.label).c_str(), rect_in(window, children.bar).c_str());
    return 0;
}

int try_to_close(DWORD timeout_ms) {
    const HWND window = wait_for_window(L"BrindlewickSetup", nullptr, timeout_ms);
    if (window == nullptr) {
        std::printf("no window\n");
        return 1;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    SetForegroundWindow(window);
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    SendInput(4, keys, sizeof keys[0]);
    Sleep(500);
    std::printf("%s\n", IsWindow(window) ? "open" : "closed");
    return 0;
}

void put_u32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void put_chunk(std::string& png, const char* type, const std::string& data) {
    put_u32(png, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    put_u32(png, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                             static_cast<uInt>(body.size()))));
}

// Writes rows of 32-bit BGRA pixels, top row first, as an RGB PNG.
bool write_png(const wchar_t* path, const std::vector<unsigned char>& bgra, int width, int height) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0'; // no filter
        for (int x = 0; x < width; ++x) {
            const unsigned char* pixel = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            raw += static_cast<char>(pixel[2]);
            raw += static_cast<char>(pixel[1]);
            raw += static_cast<char>(pixel[0]);
        }
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packed_size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &packed_size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  9) != Z_OK) {
        return false;
    }
    packed.resize(packed_size);
    std::string header;
    put_u32(header, static_cast<uint32_t>(width));
    put_u32(header, static_cast<uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB
    std::string png = "\x89PNG\r\n\x1a\n";
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", packed);
    put_chunk(png, "IEND", "");
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    return std::fclose(file) == 0 && written;
}

int screenshot(const wchar_t* path, DWORD timeout_ms, const wchar_t* status) {
    const HWND window = wait_for_window(L"BrindlewickSetup", nullptr, timeout_ms);
    if (window == nullptr) {
        std::printf("no window\n");
        return 1;
    }
    const std::wstring wanted = status != nullptr ? status : L"";
    while (IsWindow(window) &&
           window_text(children_of(window).label).compare(0, wanted.size(), wanted) != 0) {
        Sleep(10);
    }
    if (!IsWindow(window)) {
        std::printf("window gone\n");
        return 1;
    }
    Sleep(100); // let the last change reach the screen
    RECT area;
    GetWindowRect(window, &area);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info,
                               DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height || !write_png(path, pixels, width, height)) {
        std::printf("screenshot failed\n");
        return 1;
    }
    std::printf("%dx%d\n", width, height);
    return 0;
}

int describe_shortcut(const wchar_t* path) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    int result = 1;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(path, STGM_READ))) {
        wchar_t target[MAX_PATH] = L"", folder[MAX_PATH] = L"", icon[MAX_PATH] = L"",
                description[MAX_PATH] = L"";
        int icon_index = -1;
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        link->GetWorkingDirectory(folder, MAX_PATH);
        link->GetIconLocation(icon, MAX_PATH, &icon_index);
        link->GetDescription(description, MAX_PATH);
        std::printf("target=%s\nworkdir=%s\nicon=%s,%d\ndescription=%s\n", utf8(target).c_str(),
                    utf8(folder).c_str(), utf8(icon).c_str(), icon_index,
                    utf8(description).c_str());
        result = 0;
    } else {
        std::printf("unreadable shortcut\n");
    }
    if (file != nullptr) {
        file->Release();
    }
    if (link != nullptr) {
        link->Release();
    }
    CoUninitialize();
    return result;
}

// A user of the desktop for as long as it runs: Wine ends the desktop's explorer.exe a
// second after its last user has gone, and the next program to need it starts it again,
// handing it its own output (a test's pipe) and keeping a box of its own waiting.
int stay_on_desktop() {
    const HWND window =
        CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) {
        std::printf("no desktop (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("staying\n");
    std::fflush(stdout);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    return 0;
}

int hold(const wchar_t* path, DWORD ms) {
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(file);
    return 0;
}

int lock(DWORD ms) {
    std::wstring error;
    const bool held = updater_lock_wait(
        INFINITE,
        [ms] {
            std::printf("locked\n");
            std::fflush(stdout);
            Sleep(ms);
        },
        error);
    if (!held) {
        std::printf("%s\n", w_to_utf8(error).c_str());
    }
    return held ? 0 : 1;
}

// An object of another kind under the lock's name, as a foreign program could make.
int squat(DWORD ms) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"Local\\BrindlewickUpdater");
    if (event == nullptr) {
        std::printf("cannot make the event (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("squatted\n");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(event);
    return 0;
}

int check_signatures(const wchar_t* dir, const wchar_t* pin) {
    std::wstring error;
    const bool accepted = verify_tree_signatures_with_pin(dir, w_to_utf8(pin).c_str(), error);
    std::printf("%s\n", accepted ? "accepted" : w_to_utf8(error).c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"box" && argc > 2) {
        const wchar_t* button = argc > 3 && _wcsicmp(argv[3], L"none") != 0 ? argv[3] : nullptr;
        return answer_box(argv[2], button, timeout_arg(argc, argv, 4));
    }
    if (command == L"watch") {
        return watch(timeout_arg(argc, argv, 2));
    }
    if (command == L"spy" && argc > 2) {
        return spy(static_cast<DWORD>(_wtoi(argv[2])));
    }
    if (command == L"layout") {
        return print_layout(timeout_arg(argc, argv, 2));
    }
    if (command == L"close") {
        return try_to_close(timeout_arg(argc, argv, 2));
    }
    if (command == L"shot" && argc > 2) {
        return screenshot(argv[2], timeout_arg(argc, argv, 3), argc > 4 ? argv[4] : nullptr);
    }
    if (command == L"lnk" && argc > 2) {
        return describe_shortcut(argv[2]);
    }
    if (command == L"desktop") {
        return stay_on_desktop();
    }
    if (command == L"hold" && argc > 3) {
        return hold(argv[2], static_cast<DWORD>(_wtoi(argv[3])));
    }
    if (command == L"squat" && argc > 2) {
        return squat(static_cast<DWORD>(_wtoi(argv[2])));
    }
    if (command == L"lock" && argc > 2) {
        return lock(static_cast<DWORD>(_wtoi(argv[2])));
    }
    if (command == L"signatures" && argc > 3) {
        return check_signatures(argv[2], argv[3]);
    }
    std::fprintf(
        stderr,
        "usage: ui_probe box|watch|spy|desktop|layout|close|shot|lnk|hold|lock|signatures ... "
        "(see the source)\n");
    return 2;
}
