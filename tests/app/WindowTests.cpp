#include <gtest/gtest.h>
#include <windows.h>

#include <oleacc.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>

#include "app/Accessible.h"
#include "app/Application.h"
#include "core/LauncherState.h"
#include "core/SupportLog.h"
#include "ui/KeyboardFocus.h"

// Runs the real start-up on this thread; a second thread inspects the
// window once it is shown, finds the log's first line written while the
// window is open (not only at the process's end), opens the settings panel and leaves it with Esc
// (not with the repeat of a key held down), whose second press (on the main
// screen) must not close the window, and then closes it with Alt+F4.
// Before, it moves the window to a 200 % monitor as Windows would say so
// (Wine never does): the window takes the suggested rectangle, draws and
// hit-tests at the new scale, and goes back the same way.
TEST(LauncherWindowTest, OpensABorderlessCentredWindowAndExitsWithZeroWhenClosed) {
    wchar_t title[64] = {};
    DWORD style = 0, exStyle = 0;
    RECT frame{}, client{}, scaledFrame{};
    bool scaledHover = false;
    COLORREF scaledStart = 0;
    LRESULT erased = 0;
    bool panelLeft = false, closedByAltF4 = false, logged = false;
    DeleteFileW(L"window-test.log");
    openSupportLog(L"window-test.log");
    logLine("window test");
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
        const auto moveTo = [&](int dpi, RECT suggested) {
            SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), LPARAM(&suggested));
        };
        moveTo(192, RECT{0, 0, 1800, 1100});  // all of it on the 1920 x 1080 screen
        GetWindowRect(window, &scaledFrame);
        SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(160, 800));  // SETTINGS' corner
        scaledHover = launcherState.settingsHover;
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        HDC windowDc = GetDC(window);
        scaledStart = GetPixel(windowDc, 1700, 850);  // START GAME's right end
        ReleaseDC(window, windowDc);
        moveTo(96, frame);
        GetWindowRect(window, &frame);
        GetClientRect(window, &client);
        erased = SendMessageW(window, WM_ERASEBKGND, 0, 0);
        for (int i = 0; i < 250 && !logged; ++i, Sleep(20)) {
            std::ifstream log("window-test.log");
            logged = std::string(std::istreambuf_iterator<char>(log), {}).find("window test") !=
                     std::string::npos;
        }
        SendMessageW(window, WM_LBUTTONDOWN, 0, MAKELPARAM(80, 400));  // SETTINGS
        SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, LPARAM{1} << 30);  // held: ignored
        panelLeft = launcherState.settingsOpen;
        for (int i = 0; i < 2; ++i) SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
        panelLeft = panelLeft && !launcherState.settingsOpen && IsWindow(window);
        PostMessageW(window, WM_SYSKEYDOWN, VK_F4, LPARAM{1} << 29);  // with Alt held
        for (int i = 0; i < 250 && IsWindow(window); ++i) Sleep(20);
        closedByAltF4 = !IsWindow(window);
        PostMessageW(window, WM_CLOSE, 0, 0);  // a window Alt+F4 left open
    });
    EXPECT_EQ(runLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL), 0);
    inspector.join();
    EXPECT_STREQ(title, L"Zovra Launcher");
    // The system gives every top-level window WS_CLIPSIBLINGS on its own.
    EXPECT_EQ(std::make_pair(style & ~WS_CLIPSIBLINGS, exStyle),
              std::make_pair(DWORD{WS_POPUP | WS_VISIBLE}, DWORD{0}));
    EXPECT_EQ(erased, 1) << "the paint pass draws every pixel: no erasing";
    EXPECT_TRUE(panelLeft);
    EXPECT_EQ(std::make_tuple(scaledFrame.left, scaledFrame.top, scaledFrame.right,
                              scaledFrame.bottom, scaledHover, scaledStart),
              std::make_tuple(0L, 0L, 1800L, 1100L, true, RGB(0x00, 0xB4, 0x78)));
    EXPECT_TRUE(logged);
    openSupportLog(L"");
    DeleteFileW(L"window-test.log");
    EXPECT_TRUE(closedByAltF4);
    // Centred, and not clamped on a screen smaller than the window.
    const POINT small = centredWindowOrigin(800, 501);
    EXPECT_EQ(std::make_pair(small.x, small.y), std::make_pair(LONG{-50}, LONG{-24}));
    const POINT origin =
        centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(
        std::make_tuple(frame.left, frame.top, frame.right, frame.bottom, client.right,
                        client.bottom),
        std::make_tuple(origin.x, origin.y, origin.x + 900, origin.y + 550, LONG{900}, LONG{550}));
    // WM_DESTROY released the picture and the handle; the message loop has ended.
    EXPECT_EQ(launcherState.backgroundImage, nullptr);
    EXPECT_EQ(launcherState.window.load(), nullptr);
}

// The accessible object knows the window only weakly: once the window has
// gone, a client still holding it gets CO_E_OBJNOTCONNECTED, not the state.
TEST(LauncherWindowTest, AccessibleObjectFailsPolitelyAfterTheWindow) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 9, 9, nullptr, nullptr,
                                  nullptr, nullptr);
    const LRESULT answer = answerAccessibleObjectRequest(window, 0, OBJID_CLIENT);
    IAccessible* object = nullptr;
    ASSERT_HRESULT_SUCCEEDED(ObjectFromLresult(answer, __uuidof(IAccessible), 0,
                                               reinterpret_cast<void**>(&object)));
    VARIANT start{};
    start.vt = VT_I4;
    start.lVal = StartStop + 1;
    BSTR name = nullptr;
    EXPECT_EQ(object->get_accName(start, &name), S_OK);
    EXPECT_STREQ(name, L"START GAME");
    SysFreeString(name);
    disconnectAccessibleObject();
    DestroyWindow(window);
    EXPECT_EQ(object->get_accName(start, &name), CO_E_OBJNOTCONNECTED);
    object->Release();
    CoUninitialize();
}
