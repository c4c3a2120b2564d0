#include "ui/MainScreen.h"

#include <memory>

#include "LauncherConfig.h"
#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Drawing.h"
#include "draw/Offscreen.h"
#include "game/GameLaunch.h"
#include "game/SettingsPanel.h"
#include "ui/FrameCache.h"
#include "ui/KeyboardFocus.h"
#include "ui/Particles.h"

namespace {

// Everything above the dots: the controls, the status line and, while it is
// open, the settings panel.
void drawControls(Gdiplus::Graphics& graphics, const ControlTools& tools) {
    for (int control = 0; control < kControlCount; ++control) drawControl(graphics, tools, control);
    if (!launcherState.settingsOpen) return;
    drawSettingsPanel(graphics, tools.resources);
    const int32_t ring = focusRingStop();
    if (ring >= kFirstPanelStop) drawFocusRing(graphics, ring);
}

std::unique_ptr<FrameCache> frameCache;

FrameCache& cache() {
    if (!frameCache) frameCache = std::make_unique<FrameCache>();
    return *frameCache;
}

// The shell is loaded only when a page is opened: loading it with the
// program would delay the first frame for a button that may never be used.
void openWithShell(const std::wstring& address) {
    using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
    static const HMODULE shell = LoadLibraryW(L"shell32.dll");
    if (!shell) return;
    // Through a pointer to a function of no arguments: the one cast between
    // function types that compilers accept without a warning.
    const auto shellExecute = reinterpret_cast<ShellExecuteFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(shell, "ShellExecuteW")));
    if (shellExecute)
        shellExecute(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

WebPageOpener webPageOpener = openWithShell;

// True when the frame changed nothing but the dots' last and new
// surroundings, which every tick asks to repaint.
bool drawFrame(HDC target, bool holdsLastFrame) {
    FrameCache& kept = cache();
    // The panel dims the whole frame: nothing of it is decided ahead.
    if (launcherState.settingsOpen || !kept.controlsSettled()) {
        kept.forgetLastFrame();
        Gdiplus::Graphics graphics(target);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        kept.drawBackground(graphics);
        drawParticles(graphics, kept.particleBrush());
        drawControls(graphics, kept.tools());
        return false;
    }
    return kept.drawLayered(target, holdsLastFrame);
}

}  // namespace

void drawMainScreen(Gdiplus::Graphics& graphics) {
    HDC target = graphics.GetHDC();
    if (!target) return;
    drawFrame(target, false);
    graphics.ReleaseHDC(target);
}

void drawMainScreenPlain(Gdiplus::Graphics& graphics) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    const Scale& scale = launcherState.scale;
    const int width = scale.px(kWindowWidth);
    if (Gdiplus::Image* picture = pictureNearest(width)) {
        drawPictureAt(graphics, picture, width, scale.px(kWindowHeight));
    }
    drawParticles(graphics);
    const PaintResourceSet resources(scale);
    drawControls(graphics, ControlTools{resources.get()});
}

void releaseMainScreenCaches() {
    dropPreparedPicture();
    frameCache.reset();
}

void paintWindow(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    // The first frame goes straight onto the window: making the buffer and
    // copying it out would cost the first frame more than drawing it.
    if (!cache().hasBuffer()) {
        PAINTSTRUCT paint;
        HDC windowDc = BeginPaint(window, &paint);
        drawFrame(windowDc, false);
        EndPaint(window, &paint);
        cache().buffer(window, width, height);  // for the frames that follow
        return;
    }
    OffscreenBitmap& buffer = cache().buffer(window, width, height);
    // The frame is drawn before painting begins, so that what it changed
    // beyond the repaint asked for is added to it. Only this function draws
    // into the buffer, so it still holds the last frame; the window shows
    // the buffer everywhere but where the update region says otherwise.
    if (buffer.valid()) {
        bool onlyDots = false;
        { onlyDots = drawFrame(buffer.dc(), true); }
        if (!onlyDots) InvalidateRect(window, nullptr, FALSE);
    }
    PAINTSTRUCT paint;
    HDC windowDc = BeginPaint(window, &paint);
    if (buffer.valid()) {
        // Copied where the window is to be repainted, not everywhere.
        const RECT& r = paint.rcPaint;
        BitBlt(windowDc, r.left, r.top, r.right - r.left, r.bottom - r.top, buffer.dc(), r.left,
               r.top, SRCCOPY);
    }
    EndPaint(window, &paint);
}

void repaintAfterTick(HWND window, HRGN changed) {
    // Painting through WM_PAINT costs the window server several round trips
    // a frame; when only the dots' places need showing, they are shown here.
    RECT client{};
    GetClientRect(window, &client);
    if (GetUpdateRect(window, nullptr, FALSE) || !IsWindowVisible(window) || IsIconic(window)) {
        InvalidateRgn(window, changed, FALSE);
        return;
    }
    OffscreenBitmap& buffer = cache().buffer(window, client.right, client.bottom);
    if (!buffer.valid() || !drawFrame(buffer.dc(), true)) {
        InvalidateRect(window, nullptr, FALSE);
        return;
    }
    HDC windowDc = GetDC(window);
    if (!windowDc) {
        InvalidateRect(window, nullptr, FALSE);
        return;
    }
    SelectClipRgn(windowDc, changed);
    RECT box{};
    GetRgnBox(changed, &box);
    BitBlt(windowDc, box.left, box.top, box.right - box.left, box.bottom - box.top, buffer.dc(),
           box.left, box.top, SRCCOPY);
    ReleaseDC(window, windowDc);
}

void handleMouseMove(int windowX, int windowY) {
    LauncherState& state = launcherState;
    const int x = state.scale.design(windowX);
    const int y = state.scale.design(windowY);
    if (!state.settingsOpen) {
        for (const Button& button : kButtons) state.*button.hover = pointInRect(button.rect, x, y);
    } else {
        handleSettingsMouseMove(x, y);
        state.startHover = false;
        state.settingsHover = false;
    }
    requestRepaint();
}

PressResult handleLeftButtonDown(HWND window, int windowX, int windowY) {
    LauncherState& state = launcherState;
    const int x = state.scale.design(windowX);
    const int y = state.scale.design(windowY);
    if (pointInRect(closeButtonRect, x, y)) {
        DestroyWindow(window);
        return PressResult::Handled;
    }
    if (state.settingsOpen) {
        handleSettingsClick(x, y);
        return PressResult::Handled;
    }
    if (pointInRect(settingsButtonRect, x, y)) {
        openSettingsPanel();
        return PressResult::Handled;
    }
    if (pointInRect(newsButtonRect, x, y)) {
        webPageOpener(webPageAddress(L"/home"));
        return PressResult::Handled;
    }
    if (pointInRect(rankingButtonRect, x, y)) {
        webPageOpener(webPageAddress(L"/rankings"));
        return PressResult::Handled;
    }
    // Finished is read first: the worker writes it before the result.
    if (pointInRect(startButtonRect, x, y) && state.updateFinished && state.updateSucceeded) {
        launchGame(window);
        return PressResult::Handled;
    }
    return PressResult::DragWindow;
}

void activateFocusStop(HWND window, int32_t stop) {
    LauncherState& s = launcherState;
    if (stop < 0 || stop >= kFocusStopCount || stop == VolumeStop) return;
    // An open list closes with the row chosen by the arrows: a press at the
    // box would pick the row under it instead.
    if (stop == ResolutionStop && s.resolutionListOpen) {
        s.resolutionListOpen = false;
        requestRepaint();
        return;
    }
    const RECT r = clientRectFromDesign(focusStopRect(stop));
    handleLeftButtonDown(window, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

// Enter and Esc keep their meaning while no control has the focus.
void handleKeyDown(HWND window, UINT key, bool shift) {
    if (handleFocusKey(key, shift)) return;
    const int32_t focus = focusedStop();
    if ((key == VK_SPACE || key == VK_RETURN) && focus != NoFocus) {
        launcherState.focusedControl = focus;
        activateFocusStop(window, focus);
        return;
    }
    const bool panelOpen = launcherState.settingsOpen;
    if (key == VK_ESCAPE && panelOpen) handleSettingsEscape();
    // The panel takes every press, START GAME's too; launchGame keeps its gate.
    if (key == VK_RETURN && !panelOpen) launchGame(window);
}

WebPageOpener setWebPageOpener(WebPageOpener opener) {
    WebPageOpener previous = webPageOpener;
    webPageOpener = opener ? opener : openWithShell;
    return previous;
}

std::wstring webPageAddress(const wchar_t* path) {
    return std::wstring(LAUNCHER_WEB_BASE_URL) + path;
}
