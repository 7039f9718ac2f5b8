#include "ui/progress_window.h"

#include <commctrl.h>
#include <process.h>

#include <atomic>
#include <cwchar>

namespace {

// Private messages, always posted to the main window, never sent.
constexpr UINT WM_UI_DONE = WM_APP + 1;     // the worker has returned
constexpr UINT WM_UI_STATUS = WM_APP + 2;   // the status slot changed; no parameters
constexpr UINT WM_UI_PROGRESS = WM_APP + 3; // wParam: the value, sign-extended

constexpr wchar_t kClassName[] = L"BrindlewickSetup";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
constexpr DWORD kThreadEndWaitMs = 5000;

// The layout in pixels at 96 DPI (100%), scaled by the window's DPI.
constexpr int kBaseDpi = 96;
constexpr int kClientWidth = 420;
constexpr int kClientHeight = 140;
constexpr RECT kLabelRect = {24, 32, 396, 54};
constexpr RECT kBarRect = {24, 66, 396, 86};

// The worker reads the window handle while the main thread may clear it, and the main
// thread reads the result the worker wrote: both travel through atomics.
std::atomic<HWND> main_window{nullptr};
std::atomic<uint32_t> worker_result{1};
// Set once the worker function has returned: only then does its "done" message end the
// loop, whoever else posts that message number to the window.
std::atomic<bool> worker_returned{false};

// The status line's latest text, written by ui_status on any thread and shown by the
// main thread when told. Messages carry no text: any process on the desktop can post
// any message number with any parameters, and one that carried an address would have
// the window read or free whatever that address holds. A fixed buffer, so that storing
// a text can never fail.
constexpr size_t kStatusCapacity = 256;
SRWLOCK status_lock = SRWLOCK_INIT;
wchar_t status_text[kStatusCapacity] = L"";
bool status_notice_pending = false; // a notice is on its way: later texts need none

// Touched by the main thread only.
HWND status_label = nullptr;
HWND progress_bar = nullptr;
HFONT label_font = nullptr;
bool marquee = false;

// The functions that tell a window's DPI and the system's metrics for a DPI come with
// Windows 10 (1607); looked up, so that the program still starts where they are missing
// and keeps to the screen's DPI there. Looked up at each use, which is rare: a function's
// static would bring in a threads library for its guarded start-up.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Fn>
Fn user32_function(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 == nullptr
               ? nullptr
               : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

int screen_dpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : kBaseDpi;
}

int window_dpi(HWND window) {
    const auto get_dpi = user32_function<GetDpiForWindowFn>("GetDpiForWindow");
    const UINT dpi = get_dpi != nullptr ? get_dpi(window) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : screen_dpi();
}

int scaled(int pixels, int dpi) {
    return MulDiv(pixels, dpi, kBaseDpi);
}

// The system's message font as it is meant for `dpi`; null when none can be made.
HFONT message_font(int dpi) {
    const auto metrics_for_dpi =
        user32_function<SystemParametersInfoForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics = {};
    static_assert(sizeof metrics == 504, "NONCLIENTMETRICSW with iPaddedBorderWidth");
    metrics.cbSize = sizeof metrics;
    if (metrics_for_dpi == nullptr || !metrics_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics,
                                                       &metrics, 0, static_cast<UINT>(dpi))) {
        // The plain call gives the font for the screen's DPI.
        if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            return nullptr;
        }
        metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, screen_dpi());
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// The window's outer size for the client area at `dpi`.
SIZE outer_size(int dpi) {
    const auto adjust_for_dpi =
        user32_function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    RECT outer = {0, 0, scaled(kClientWidth, dpi), scaled(kClientHeight, dpi)};
    if (adjust_for_dpi == nullptr ||
        !adjust_for_dpi(&outer, kWindowStyle, FALSE, 0, static_cast<UINT>(dpi))) {
        AdjustWindowRect(&outer, kWindowStyle, FALSE);
    }
    return {outer.right - outer.left, outer.bottom - outer.top};
}

RECT scaled_rect(const RECT& base, int dpi) {
    return {scaled(base.left, dpi), scaled(base.top, dpi), scaled(base.right, dpi),
            scaled(base.bottom, dpi)};
}

void place_child(HWND child, const RECT& base, int dpi) {
    const RECT rect = scaled_rect(base, dpi);
    SetWindowPos(child, nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Gives the status line the message font for `dpi`. The font it had is deleted once it
// no longer uses it.
void set_label_font(int dpi) {
    const HFONT font = message_font(dpi);
    if (font != nullptr) {
        SendMessageW(status_label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (label_font != nullptr) {
            DeleteObject(label_font);
        }
        label_font = font;
    }
}

struct WorkerStart {
    UiWorker fn;
    void* arg;
};

void show_progress(int value) {
    if (value < 0) {
        if (!marquee) {
            const LONG_PTR style = GetWindowLongPtrW(progress_bar, GWL_STYLE);
            SetWindowLongPtrW(progress_bar, GWL_STYLE, style | PBS_MARQUEE);
            SendMessageW(progress_bar, PBM_SETMARQUEE, 1, 0);
            marquee = true;
        }
        return;
    }
    if (marquee) {
        SendMessageW(progress_bar, PBM_SETMARQUEE, 0, 0);
        const LONG_PTR style = GetWindowLongPtrW(progress_bar, GWL_STYLE);
        SetWindowLongPtrW(progress_bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
        marquee = false;
    }
    SendMessageW(progress_bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

LRESULT CALLBACK wndproc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_UI_STATUS: {
        // Whoever posted it, it only shows the slot's text again.
        wchar_t text[kStatusCapacity];
        AcquireSRWLockExclusive(&status_lock);
        std::wmemcpy(text, status_text, kStatusCapacity);
        status_notice_pending = false;
        ReleaseSRWLockExclusive(&status_lock);
        SetWindowTextW(status_label, text);
        return 0;
    }
    case WM_UI_PROGRESS:
        show_progress(static_cast<int32_t>(static_cast<uint32_t>(wparam)));
        return 0;
    case WM_DPICHANGED: {
        // Moved to a screen of another scale, or the scale changed: Windows suggests the
        // rectangle that keeps the window where the user sees it.
        const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        const int dpi = HIWORD(wparam);
        place_child(status_label, kLabelRect, dpi);
        place_child(progress_bar, kBarRect, dpi);
        set_label_font(dpi);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The status line on the window's own background, not a dialog's grey.
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_CLOSE:
        // The close box, Alt+F4 and the system menu do nothing: only the worker's end
        // closes the window, so an installation is never cut off half-way.
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

unsigned __stdcall worker_entry(void* record) {
    const WorkerStart* start = static_cast<const WorkerStart*>(record);
    const uint32_t result = start->fn(start->arg);
    worker_result = result;
    worker_returned = true;
    const HWND window = main_window;
    // A full message queue must not swallow the end: the loop would wait for ever.
    while (window != nullptr && !PostMessageW(window, WM_UI_DONE, 0, 0) &&
           GetLastError() == ERROR_NOT_ENOUGH_QUOTA) {
        Sleep(10);
    }
    return result;
}

// Serves the window's messages until `thread` has ended. Used when the message loop
// stopped before the worker's end: the worker may still be installing, or showing a
// box owned by the window, which needs this thread to answer.
void pump_until_ended(HANDLE thread) {
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1) {
            break;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message != WM_QUIT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    WaitForSingleObject(thread, INFINITE);
}

HWND create_child(const wchar_t* class_name, DWORD style, const RECT& base, int dpi) {
    const RECT rect = scaled_rect(base, dpi);
    return CreateWindowExW(0, class_name, L"", style, rect.left, rect.top, rect.right - rect.left,
                           rect.bottom - rect.top, main_window, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

} // namespace

bool ui_open(const wchar_t* title) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = wndproc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kClassName;
    RegisterClassW(&window_class);

    // Made hidden at the screen's DPI, then sized and centred for the DPI of the monitor
    // it landed on, which is known only once it exists.
    SIZE size = outer_size(screen_dpi());
    const HWND window =
        CreateWindowExW(0, kClassName, title, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.cx,
                        size.cy, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return false;
    }
    main_window = window;
    marquee = false;
    AcquireSRWLockExclusive(&status_lock);
    status_text[0] = L'\0';
    status_notice_pending = false;
    ReleaseSRWLockExclusive(&status_lock);

    const int dpi = window_dpi(window);
    size = outer_size(dpi);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        area = monitor.rcMonitor;
    }
    SetWindowPos(window, nullptr, area.left + (area.right - area.left - size.cx) / 2,
                 area.top + (area.bottom - area.top - size.cy) / 2, size.cx, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);

    status_label = create_child(L"STATIC", WS_CHILD | WS_VISIBLE, kLabelRect, dpi);
    progress_bar = create_child(PROGRESS_CLASSW, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, kBarRect, dpi);
    SendMessageW(progress_bar, PBM_SETRANGE32, 0, 100);
    set_label_font(dpi);

    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return true;
}

uint32_t ui_loop(UiWorker fn, void* arg) {
    WorkerStart start = {fn, arg};
    worker_result = 1;
    worker_returned = false;
    const uintptr_t thread = _beginthreadex(nullptr, 0, worker_entry, &start, 0, nullptr);
    if (thread == 0) {
        return 1;
    }
    const HANDLE worker = reinterpret_cast<HANDLE>(thread);
    bool done = false;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_UI_DONE && message.hwnd == main_window && worker_returned &&
            !done) {
            done = true;
            DestroyWindow(main_window.exchange(nullptr));
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (done) {
        // The worker function has returned; only the thread's own ending remains.
        WaitForSingleObject(worker, kThreadEndWaitMs);
    } else {
        // The loop ended without the worker's end (a stray quit message, a failed
        // GetMessageW): its result is not known until it has ended.
        pump_until_ended(worker);
        const HWND window = main_window.exchange(nullptr);
        if (window != nullptr) {
            DestroyWindow(window);
        }
    }
    CloseHandle(worker);
    return worker_result;
}

void ui_status(const wchar_t* text) {
    const HWND window = main_window;
    if (window == nullptr) {
        return;
    }
    // A text too long for the slot is cut, never within a surrogate pair; a status
    // line shows far fewer characters anyway.
    size_t length = 0;
    while (length < kStatusCapacity - 1 && text[length] != L'\0') {
        ++length;
    }
    if (text[length] != L'\0' && length > 0 && IS_HIGH_SURROGATE(text[length - 1])) {
        --length;
    }
    AcquireSRWLockExclusive(&status_lock);
    std::wmemcpy(status_text, text, length);
    status_text[length] = L'\0';
    const bool notify = !status_notice_pending;
    status_notice_pending = true;
    ReleaseSRWLockExclusive(&status_lock);
    // The notice already on its way shows this text too. When none can be posted (a
    // full queue), the next text tries again.
    if (notify && !PostMessageW(window, WM_UI_STATUS, 0, 0)) {
        AcquireSRWLockExclusive(&status_lock);
        status_notice_pending = false;
        ReleaseSRWLockExclusive(&status_lock);
    }
}

void ui_progress(int value) {
    const HWND window = main_window;
    if (window != nullptr) {
        PostMessageW(window, WM_UI_PROGRESS, static_cast<WPARAM>(static_cast<intptr_t>(value)), 0);
    }
}

HWND ui_hwnd() {
    return main_window;
}
