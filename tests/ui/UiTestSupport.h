// Shared pieces of the main-screen tests: GDI+ for the binary, a clean state over the
// real background picture, a stand-in window and frames rendered into 900 x 550 bitmaps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Application.h"
#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Offscreen.h"
#include "ui/MainScreen.h"

constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 550;

struct GdiplusEnvironment : ::testing::Environment {
    ULONG_PTR token_ = 0;
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    void TearDown() override {
        releaseMainScreenCaches();
        delete launcherState.backgroundImage;
        launcherState.backgroundImage = nullptr;
        Gdiplus::GdiplusShutdown(token_);
    }
};
inline ::testing::Environment* const gdiplusEnvironment =
    ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

// Every field the main screen reads back to its initial value.
inline void resetMainScreenState() {
    LauncherState& s = launcherState;
    s.window = nullptr;
    s.particles.clear();
    s.progressPercent = 0;
    s.updateFinished = s.updateSucceeded = false;
    s.statusDetail.set(L"");
    s.newsHover = s.rankingHover = s.settingsHover = s.startHover = s.closeHover = false;
    s.settingsOpen = s.resolutionListOpen = false;
    s.hoveredResolutionRow = -1;
    s.scale = Scale{};
    s.focusedControl = -1;
    s.focusRingShown = false;
}

// Frames from now on at `dpi`, drawn with pieces made afresh.
inline void drawAtDpi(int dpi) {
    launcherState.scale = Scale{dpi};
    releaseMainScreenCaches();
}

// Pages that NEWS and RANKING asked for: no test starts a browser.
inline std::vector<std::wstring> openedPages;

// A clean state over the real background picture, with fresh kept pieces.
class MainScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMainScreenState();
        openedPages.clear();
        setWebPageOpener([](const std::wstring& address) { openedPages.push_back(address); });
        if (!launcherState.backgroundImage) {
            const std::string unixPath = UI_TEST_BACKGROUND_PNG;  // Wine shows it on drive Z:
            const std::wstring path = L"Z:" + std::wstring(unixPath.begin(), unixPath.end());
            launcherState.backgroundImage = new Gdiplus::Image(path.c_str(), FALSE);
        }
        ASSERT_EQ(launcherState.backgroundImage->GetLastStatus(), Gdiplus::Ok)
            << "background picture not readable";
        // The shipped frames draw the pixels Launcher.exe (in the working
        // folder) carries; the plain pass draws the decoded picture.
        static const void* const pixels = findBackgroundPixels(LoadLibraryExW(
            L"Launcher.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_NE(pixels, nullptr) << "Launcher.exe not found, or it carries no picture pixels";
        launcherState.backgroundPixels = pixels;
        releaseMainScreenCaches();
    }
    void TearDown() override {
        setWebPageOpener(nullptr);  // the shell again
        resetMainScreenState();
    }
};

// A popup window standing in for the launcher's; destroyed unless already gone.
struct StandInWindow {
    HWND handle = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, kFrameWidth, kFrameHeight,
                                  nullptr, nullptr, nullptr, nullptr);
    ~StandInWindow() { DestroyWindow(handle); }
};

using Pixels = std::vector<uint32_t>;  // 0x00RRGGBB, top row first

struct Frame {
    Pixels pixels;
    int width = kFrameWidth;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // How many pixels of [left, right) x [top, bottom) are `colour`, give or
    // take `tolerance` in each channel.
    int count(int left, int top, int right, int bottom, uint32_t colour, int tolerance = 0) const {
        int n = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                bool match = true;
                for (int shift : {0, 8, 16})
                    match = match && std::abs(int(at(x, y) >> shift & 0xFF) -
                                              int(colour >> shift & 0xFF)) <= tolerance;
                n += match;
            }
        }
        return n;
    }
    bool shows(int x, int y, uint32_t colour, int tolerance = 4) const {
        return count(x, y, x + 1, y + 1, colour, tolerance) == 1;
    }
};

// A frame at the window's scale, drawn the shipped way (drawMainScreen) or the plain way.
inline Frame render(void (*draw)(Gdiplus::Graphics&) = drawMainScreen) {
    const Scale& scale = launcherState.scale;
    OffscreenBitmap bitmap(nullptr, scale.px(kFrameWidth), scale.px(kFrameHeight));
    {
        Gdiplus::Graphics graphics(bitmap.dc());
        draw(graphics);
    }
    return Frame{bitmap.pixels(), bitmap.width()};
}

inline int differingPixels(const Pixels& a, const Pixels& b) {
    int n = a.size() == b.size() ? 0 : -1;
    for (size_t i = 0; n >= 0 && i < a.size(); ++i) n += a[i] != b[i];
    return n;
}
