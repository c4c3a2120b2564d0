// The one record of state that the window thread and the update worker share.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/Scale.h"

namespace Gdiplus {
class Image;
}

// In window pixels: spawned and moved at the window's scale.
struct Particle {
    float x = 0.0f;
    float y = 0.0f;
    float speed = 0.0f;
    float size = 0.0f;
    int32_t alpha = 0;
};

// A text that the update worker replaces while the paint pass reads it:
// every read and write takes the lock, so a reader gets a whole string.
class SharedText {
public:
    explicit SharedText(std::wstring initial = {}) : text_(std::move(initial)) {}
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;

    void set(std::wstring text) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.swap(text);
    }
    std::wstring get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::wstring text_;
};

struct LauncherState {
    // Process and window. `window` is read by the worker for repaint requests.
    std::atomic<HWND> window{nullptr};
    // --verify: the pass reads every file; set before the worker starts.
    bool verifyAll = false;
    ULONG_PTR gdiplusToken = 0;
    // The window's DPI over the design's 96; read and changed on the window
    // thread only, where every frame, hit test and dot follows it.
    Scale scale;
    // The decoded pictures, 900 x 550 and twice that; a frame draws the one
    // nearest its size (either may be missing). Owned; deleted on WM_DESTROY.
    Gdiplus::Image* backgroundImage = nullptr;
    Gdiplus::Image* backgroundImage2x = nullptr;
    // The picture as 900 x 550 rows of 32-bit pixels in the program's
    // resources; when set, the picture is drawn from it and never decoded.
    const void* backgroundPixels = nullptr;
    std::vector<Particle> particles;
    const std::vector<std::wstring> resolutionNames{
        L"640x480",  L"800x600",  L"1024x768",  L"1280x1024", L"1360x768",
        L"1440x900", L"1600x900", L"1680x1050", L"1920x1080",
    };

    // Update progress and outcome, written by the worker. The flags are
    // atomic so that the window thread sees updateFinished before
    // updateSucceeded and both before the outcome text.
    std::atomic<int32_t> progressPercent{0};
    std::atomic<bool> updateFinished{false};
    std::atomic<bool> updateSucceeded{false};
    // Written before updateFinished; a pass that ends in a restart neither
    // succeeded nor failed.
    std::atomic<bool> updateFailed{false};
    SharedText statusDetail;
    SharedText titleLine{L"Checking for updates..."};

    // Main-screen hover flags.
    bool newsHover = false;
    bool rankingHover = false;
    bool settingsHover = false;
    bool startHover = false;
    bool closeHover = false;

    // The control the keyboard acts on (a FocusStop, -1 for none) and
    // whether its ring shows: only once a key has been used.
    int32_t focusedControl = -1;
    bool focusRingShown = false;

    // Settings panel.
    bool settingsOpen = false;
    bool resolutionListOpen = false;
    int32_t hoveredResolutionRow = -1;

    // The game's configuration values.
    bool windowMode = true;
    bool soundOn = true;
    bool musicOn = true;
    int32_t volumeLevel = 5;
    int32_t resolutionIndex = 5;
};

extern LauncherState launcherState;

// Invalidates the whole client area without erasing; callable from any thread.
void requestRepaint();

// Posted to the window when the pass has replaced the launcher's own file:
// the window thread starts the new one and closes.
constexpr UINT kRestartLauncherMessage = WM_APP + 1;
void requestRestart();
