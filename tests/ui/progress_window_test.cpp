// The progress window in this process: its layout, and ui_loop's result whatever ends
// the message loop. The flows behind it are tested end to end.
#include "ui/progress_window.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

DWORD main_thread = 0;
std::atomic<bool> worker_ended{false};

// "left,top right,bottom" of a child in its parent's client pixels.
std::string child_rect(HWND parent, HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " +
           std::to_string(rect.right) + "," + std::to_string(rect.bottom);
}

uint32_t check_layout(void*) {
    const HWND window = ui_hwnd();
    wchar_t text[64] = L"";
    GetClassNameW(window, text, 64);
    EXPECT_STREQ(text, L"BrindlewickSetup");
    GetWindowTextW(window, text, 64);
    EXPECT_STREQ(text, L"Layout");
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE) &
                  (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 420);
    EXPECT_EQ(client.bottom, 140);
    const HWND label = FindWindowExW(window, nullptr, L"Static", nullptr);
    const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    EXPECT_EQ(child_rect(window, label), "24,32 396,54");
    EXPECT_EQ(child_rect(window, bar), "24,66 396,86");
    EXPECT_TRUE(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_SMOOTH);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    // The status line is drawn on the window's background.
    const HDC dc = GetDC(label);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(label)),
              reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW)));
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_WINDOW));
    ReleaseDC(label, dc);
    return 7;
}

int font_height(HWND control) {
    LOGFONTW font = {};
    const HFONT handle = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    return handle != nullptr && GetObjectW(handle, sizeof font, &font) ? std::abs(font.lfHeight)
                                                                       : 0;
}

// Moved to a screen of another scale, the window takes the rectangle Windows suggests
// and lays its controls out anew for that DPI, in the message font for it.
uint32_t change_scale(void*) {
    const HWND window = ui_hwnd();
    const HWND label = FindWindowExW(window, nullptr, L"Static", nullptr);
    const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    const int font_at_96 = font_height(label);
    EXPECT_GT(font_at_96, 0);
    const struct {
        int dpi;
        const char* label;
        const char* bar;
    } scales[] = {
        {192, "48,64 792,108", "48,132 792,172"},
        {144, "36,48 594,81", "36,99 594,129"},
        {96, "24,32 396,54", "24,66 396,86"},
    };
    for (const auto& scale : scales) {
        RECT suggested = {100, 50, 100 + MulDiv(420, scale.dpi, 96),
                          50 + MulDiv(140, scale.dpi, 96)};
        AdjustWindowRect(&suggested, WS_CAPTION | WS_SYSMENU, FALSE);
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(scale.dpi, scale.dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        RECT client;
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, MulDiv(420, scale.dpi, 96)) << scale.dpi;
        EXPECT_EQ(client.bottom, MulDiv(140, scale.dpi, 96)) << scale.dpi;
        EXPECT_EQ(child_rect(window, label), scale.label) << scale.dpi;
        EXPECT_EQ(child_rect(window, bar), scale.bar) << scale.dpi;
        EXPECT_NEAR(font_height(label), MulDiv(font_at_96, scale.dpi, 96), 1) << scale.dpi;
    }
    return 0;
}

TEST(ProgressWindow, LayoutAndTheWorkersResult) {
    ASSERT_TRUE(ui_open(L"Layout"));
    EXPECT_EQ(ui_loop(check_layout, nullptr), 7u);
    EXPECT_EQ(ui_hwnd(), nullptr);
}

TEST(ProgressWindow, FollowsTheScaleOfItsScreen) {
    ASSERT_TRUE(ui_open(L"Scale"));
    EXPECT_EQ(ui_loop(change_scale, nullptr), 0u);
}

std::wstring label_text() {
    const HWND label = FindWindowExW(ui_hwnd(), nullptr, L"Static", nullptr);
    wchar_t text[300] = L"";
    GetWindowTextW(label, text, 300);
    return text;
}

// Waits until the window has handled every message posted before: its bar shows `mark`.
bool handled_so_far(int mark) {
    ui_progress(mark);
    const HWND bar = FindWindowExW(ui_hwnd(), nullptr, PROGRESS_CLASSW, nullptr);
    for (int tries = 0; tries < 500; ++tries) {
        if (SendMessageW(bar, PBM_GETPOS, 0, 0) == mark) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

// A text kept where an address posted by anyone could be taken for it.
const wchar_t kStrayText[] = L"stray text";

uint32_t post_strays_and_statuses(void*) {
    ui_status(L"first");
    EXPECT_TRUE(handled_so_far(10));
    EXPECT_EQ(label_text(), L"first");

    // Every private message number, with an address in either parameter: none shows
    // or frees what it points to (freeing this static text would bring the process
    // down), and the label keeps its text.
    for (UINT message = WM_APP; message < WM_APP + 16; ++message) {
        PostMessageW(ui_hwnd(), message, reinterpret_cast<WPARAM>(kStrayText),
                     reinterpret_cast<LPARAM>(kStrayText));
        PostMessageW(ui_hwnd(), message, 0, reinterpret_cast<LPARAM>(kStrayText));
    }
    EXPECT_TRUE(handled_so_far(20));
    EXPECT_EQ(label_text(), L"first");
    EXPECT_STREQ(kStrayText, L"stray text");

    // Quick texts from two threads: the last one written wins, once shown.
    std::thread other([] {
        for (int i = 0; i < 200; ++i) {
            ui_status((L"other " + std::to_wstring(i)).c_str());
        }
    });
    for (int i = 0; i < 200; ++i) {
        ui_status((L"step " + std::to_wstring(i)).c_str());
    }
    other.join();
    ui_status(L"last");
    EXPECT_TRUE(handled_so_far(30));
    EXPECT_EQ(label_text(), L"last");

    // Longer than the status line keeps: cut, not refused, never within a pair.
    std::wstring long_text(400, L'x');
    long_text[254] = L'\xD83D'; // a pair (U+1F600) across the cut
    long_text[255] = L'\xDE00';
    ui_status(long_text.c_str());
    EXPECT_TRUE(handled_so_far(40));
    EXPECT_EQ(label_text(), std::wstring(254, L'x'));
    return 3;
}

TEST(ProgressWindow, StatusTextTravelsOutsideMessagesAndTheLastWins) {
    ASSERT_TRUE(ui_open(L"Status"));
    EXPECT_EQ(ui_loop(post_strays_and_statuses, nullptr), 3u);
}

// Ends the message loop early, then keeps working and shows a box owned by the window.
uint32_t quit_then_work(void* result) {
    PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
    Sleep(300);
    std::thread closer([] {
        HWND box = nullptr;
        for (int tries = 0; tries < 500 && box == nullptr; ++tries) {
            Sleep(10);
            box = FindWindowW(L"#32770", L"Still working");
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    MessageBoxW(ui_hwnd(), L"The loop has stopped.", L"Still working", MB_OK);
    closer.join();
    worker_ended = true;
    return *static_cast<uint32_t*>(result);
}

TEST(ProgressWindow, AStrayQuitWaitsForTheWorkersOwnResult) {
    main_thread = GetCurrentThreadId();
    for (uint32_t result : {0u, 1u}) {
        worker_ended = false;
        ASSERT_TRUE(ui_open(L"Stray quit"));
        EXPECT_EQ(ui_loop(quit_then_work, &result), result);
        EXPECT_TRUE(worker_ended);
        EXPECT_EQ(ui_hwnd(), nullptr);
    }
}

} // namespace
