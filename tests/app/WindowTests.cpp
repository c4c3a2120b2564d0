#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "app/Application.h"
#include "core/LauncherState.h"

TEST(WindowPlacementTest, CentresOnTheScreenWithoutClamping) {
    const int cases[][4] = {
        {1920, 1080, 510, 265}, {1366, 768, 233, 109}, {800, 600, -50, 25}, {901, 551, 0, 0}};
    for (const auto& c : cases) {
        const POINT origin = centredWindowOrigin(c[0], c[1]);
        EXPECT_EQ(std::make_pair(origin.x, origin.y), std::make_pair(LONG{c[2]}, LONG{c[3]}))
            << c[0] << "x" << c[1];
    }
}

// Runs the real start-up on this thread; a second thread inspects the
// window once it is shown and then closes it like a user would.
TEST(LauncherWindowTest, OpensABorderlessCentredWindowAndExitsWithZeroWhenClosed) {
    wchar_t title[64] = {};
    DWORD style = 0, exStyle = 0;
    RECT frame{}, client{};
    LRESULT erased = 0;
    std::thread inspector([&] {
        HWND window = nullptr;
        for (int i = 0; i < 500 && !(window && IsWindowVisible(window)); ++i) {
            Sleep(20);
            window = launcherState.window.load();
        }
        GetWindowTextW(window, title, 64);
        style = GetWindowLongW(window, GWL_STYLE);
        exStyle = GetWindowLongW(window, GWL_EXSTYLE);
        GetWindowRect(window, &frame);
        GetClientRect(window, &client);
        erased = SendMessageW(window, WM_ERASEBKGND, 0, 0);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(runLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL), 0);
    inspector.join();
    EXPECT_STREQ(title, L"Zovra Launcher");
    // The system gives every top-level window WS_CLIPSIBLINGS on its own.
    EXPECT_EQ(std::make_pair(style & ~WS_CLIPSIBLINGS, exStyle),
              std::make_pair(DWORD{WS_POPUP | WS_VISIBLE}, DWORD{0}));
    EXPECT_EQ(erased, 1) << "the paint pass draws every pixel: no erasing";
    const POINT origin =
        centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(
        std::make_tuple(frame.left, frame.top, frame.right, frame.bottom, client.right,
                        client.bottom),
        std::make_tuple(origin.x, origin.y, origin.x + 900, origin.y + 550, LONG{900}, LONG{550}));
    // WM_DESTROY released the picture; the message loop has ended.
    EXPECT_EQ(launcherState.backgroundImage, nullptr);
    EXPECT_FALSE(IsWindow(launcherState.window.load()));
}
