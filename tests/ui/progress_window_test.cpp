// The progress window in this process: its layout, and ui_loop's result whatever ends
// the message loop. The flows behind it are tested end to end.
#include "ui/progress_window.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
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
    return 7;
}

TEST(ProgressWindow, LayoutAndTheWorkersResult) {
    ASSERT_TRUE(ui_open(L"Layout"));
    EXPECT_EQ(ui_loop(check_layout, nullptr), 7u);
    EXPECT_EQ(ui_hwnd(), nullptr);
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
