#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/Application.h"
#include "core/LauncherState.h"

TEST(WindowPlacementTest, CentresOnTheScreenWithoutClamping) {
    struct Case {
        int width, height;
        LONG left, top;
    };
    const Case cases[] = {
        {1920, 1080, 510, 265},
        {1366, 768, 233, 109},
        {800, 600, -50, 25},
        {900, 550, 0, 0},
        {901, 551, 0, 0},
    };
    for (const Case& c : cases) {
        const POINT origin = centredWindowOrigin(c.width, c.height);
        EXPECT_EQ(origin.x, c.left) << c.width << "x" << c.height;
        EXPECT_EQ(origin.y, c.top) << c.width << "x" << c.height;
    }
}

namespace {

struct ObservedWindow {
    wchar_t className[64] = {};
    wchar_t title[64] = {};
    LONG style = 0;
    LONG exStyle = 0;
    RECT windowRect{};
    RECT clientRect{};
    BOOL visible = FALSE;
    LRESULT eraseResult = 0;
    bool seen = false;
};

}  // namespace

// Runs the real start-up on this thread; a second thread inspects the
// window once it is shown and then closes it like a user would.
TEST(LauncherWindowTest, OpensABorderlessCentredWindowAndExitsWithZeroWhenClosed) {
    ObservedWindow seen;
    std::thread inspector([&] {
        HWND window = nullptr;
        for (int i = 0; i < 500 && !(window && IsWindowVisible(window)); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            window = launcherState.window.load();
        }
        if (!window) return;
        seen.seen = true;
        GetClassNameW(window, seen.className, 64);
        GetWindowTextW(window, seen.title, 64);
        seen.style = GetWindowLongW(window, GWL_STYLE);
        seen.exStyle = GetWindowLongW(window, GWL_EXSTYLE);
        GetWindowRect(window, &seen.windowRect);
        GetClientRect(window, &seen.clientRect);
        seen.visible = IsWindowVisible(window);
        HDC dc = GetDC(window);
        seen.eraseResult = SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        ReleaseDC(window, dc);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });

    const int exitCode = runLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    inspector.join();

    ASSERT_TRUE(seen.seen) << "the window never became visible";
    EXPECT_EQ(exitCode, 0);
    EXPECT_STREQ(seen.className, L"ZovraLauncherClass");
    EXPECT_STREQ(seen.title, L"Zovra Launcher");
    // The system gives every top-level window WS_CLIPSIBLINGS on its own.
    EXPECT_EQ(static_cast<DWORD>(seen.style) & ~static_cast<DWORD>(WS_CLIPSIBLINGS),
              static_cast<DWORD>(WS_POPUP | WS_VISIBLE));
    EXPECT_EQ(seen.exStyle, 0);
    EXPECT_TRUE(seen.visible);
    EXPECT_EQ(seen.eraseResult, 1);

    const POINT origin = centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(seen.windowRect.left, origin.x);
    EXPECT_EQ(seen.windowRect.top, origin.y);
    EXPECT_EQ(seen.windowRect.right - seen.windowRect.left, 900);
    EXPECT_EQ(seen.windowRect.bottom - seen.windowRect.top, 550);
    EXPECT_EQ(seen.clientRect.right, 900);
    EXPECT_EQ(seen.clientRect.bottom, 550);

    // WM_DESTROY released the picture; the message loop has ended.
    EXPECT_EQ(launcherState.backgroundImage, nullptr);
    EXPECT_FALSE(IsWindow(seen.seen ? launcherState.window.load() : nullptr));
}
