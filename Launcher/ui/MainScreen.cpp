#include "ui/MainScreen.h"

#include <shellapi.h>

#include <memory>

#include "LauncherConfig.h"
#include "app/Gdiplus.h"
#include "app/LauncherState.h"
#include "game/GameLaunch.h"
#include "game/SettingsPanel.h"
#include "ui/Drawing.h"
#include "ui/Offscreen.h"
#include "ui/Particles.h"

namespace {

constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 550;
constexpr Gdiplus::ARGB kTrackColour = 0xFF282828;
constexpr Gdiplus::ARGB kBarColour = 0xFF00B478;
constexpr Gdiplus::ARGB kButtonColour = 0xFF282828;
constexpr Gdiplus::ARGB kButtonHoverColour = 0xFF505050;
constexpr Gdiplus::ARGB kStartColour = 0xFF00B478;
constexpr Gdiplus::ARGB kStartHoverColour = 0xFF00DC96;
constexpr Gdiplus::ARGB kCloseColour = 0xFF961E1E;
constexpr Gdiplus::ARGB kCloseHoverColour = 0xFFDC3C3C;
constexpr Gdiplus::ARGB kStatusShadowColour = 0x96000000;

// What draws the controls: either everything made per call (the plain way)
// or pieces kept by the caller; null members mean "make it afresh".
struct ControlTools {
    const PaintResources& resources;
    Gdiplus::SolidBrush* fill = nullptr;
    const Gdiplus::StringFormat* leftFormat = nullptr;
    const Gdiplus::Brush* shadowBrush = nullptr;
};

void fillShape(Gdiplus::Graphics& graphics, const ControlTools& tools, int d, int x, int y,
               int width, int height, Gdiplus::ARGB colour) {
    if (tools.fill) {
        fillRoundedRect(graphics, *tools.fill, d, x, y, width, height, colour);
    } else {
        fillRoundedRect(graphics, d, x, y, width, height, colour);
    }
}

void drawButton(Gdiplus::Graphics& graphics, const ControlTools& tools, const RECT& rect, int d,
                Gdiplus::ARGB colour, const wchar_t* label) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    fillShape(graphics, tools, d, rect.left, rect.top, width, height, colour);
    const Gdiplus::RectF layout(static_cast<float>(rect.left), static_cast<float>(rect.top),
                                static_cast<float>(width), static_cast<float>(height));
    graphics.DrawString(label, -1, tools.resources.buttonFont, layout,
                        tools.resources.centredFormat, tools.resources.whiteBrush);
}

void drawStatusLine(Gdiplus::Graphics& graphics, const ControlTools& tools) {
    const std::wstring status = launcherState.statusDetail.get();
    if (status.empty()) return;
    std::unique_ptr<Gdiplus::StringFormat> ownFormat;
    std::unique_ptr<Gdiplus::SolidBrush> ownShadow;
    const Gdiplus::StringFormat* format = tools.leftFormat;
    const Gdiplus::Brush* shadow = tools.shadowBrush;
    if (!format) {
        ownFormat = std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL);
        ownFormat->SetAlignment(Gdiplus::StringAlignmentNear);
        format = ownFormat.get();
    }
    if (!shadow) {
        ownShadow = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(kStatusShadowColour));
        shadow = ownShadow.get();
    }
    const int length = static_cast<int>(status.size());
    graphics.DrawString(status.c_str(), length, tools.resources.smallFont,
                        Gdiplus::RectF(101.0f, 476.0f, 700.0f, 25.0f), format, shadow);
    graphics.DrawString(status.c_str(), length, tools.resources.smallFont,
                        Gdiplus::RectF(100.0f, 475.0f, 700.0f, 25.0f), format,
                        tools.resources.whiteBrush);
}

// Everything above the dots, in the paint pass's order: track, bar, the
// three left buttons, START GAME, the close button, the status line and,
// while it is open, the settings panel.
void drawControls(Gdiplus::Graphics& graphics, const ControlTools& tools) {
    const LauncherState& state = launcherState;
    fillShape(graphics, tools, 10, 100, 500, 700, 20, kTrackColour);
    fillShape(graphics, tools, 10, 100, 500, 7 * state.progressPercent.load(), 20, kBarColour);
    drawButton(graphics, tools, newsButtonRect, 15,
               state.newsHover ? kButtonHoverColour : kButtonColour, L"NEWS");
    drawButton(graphics, tools, rankingButtonRect, 15,
               state.rankingHover ? kButtonHoverColour : kButtonColour, L"RANKING");
    drawButton(graphics, tools, settingsButtonRect, 15,
               state.settingsHover ? kButtonHoverColour : kButtonColour, L"SETTINGS");
    drawButton(graphics, tools, startButtonRect, 20,
               state.startHover ? kStartHoverColour : kStartColour, L"START GAME");
    drawButton(graphics, tools, closeButtonRect, 10,
               state.closeHover ? kCloseHoverColour : kCloseColour, L"X");
    drawStatusLine(graphics, tools);
    if (state.settingsOpen) drawSettingsPanel(graphics, tools.resources);
}

// What the frames keep between passes. The picture is drawn once the plain
// way into a bitmap of its own and then copied, which gives the same pixels
// as GDI+'s scaling path at 1:1 for a fraction of the cost.
class FrameCache {
public:
    void drawBackground(Gdiplus::Graphics& graphics) {
        refreshBackground();
        HDC target = graphics.GetHDC();
        if (target) {
            BitBlt(target, 0, 0, kFrameWidth, kFrameHeight, background_->dc(), 0, 0, SRCCOPY);
            graphics.ReleaseHDC(target);
        }
    }

    ControlTools tools() {
        if (!resources_) {
            resources_ = std::make_unique<PaintResourceSet>();
            fill_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0));
            leftFormat_ = std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL);
            leftFormat_->SetAlignment(Gdiplus::StringAlignmentNear);
            shadow_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(kStatusShadowColour));
        }
        return ControlTools{resources_->get(), fill_.get(), leftFormat_.get(), shadow_.get()};
    }

    Gdiplus::SolidBrush& particleBrush() {
        tools();
        return *fill_;
    }

    // The window's off-screen buffer, remade only when the client size changes.
    OffscreenBitmap& buffer(HDC windowDc, int width, int height) {
        if (!buffer_ || buffer_->width() != width || buffer_->height() != height) {
            buffer_.reset();
            buffer_ = std::make_unique<OffscreenBitmap>(windowDc, width, height);
        }
        return *buffer_;
    }

private:
    void refreshBackground() {
        Gdiplus::Image* image = launcherState.backgroundImage;
        if (background_ && backgroundSource_ == image) return;
        // A new bitmap holds black, as the plain pass's fresh one does, so a
        // picture with transparent parts comes out the same.
        background_ = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
        PatBlt(background_->dc(), 0, 0, kFrameWidth, kFrameHeight, BLACKNESS);
        if (image) {
            Gdiplus::Graphics graphics(background_->dc());
            graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            graphics.DrawImage(image, 0, 0, kFrameWidth, kFrameHeight);
        }
        backgroundSource_ = image;
    }

    std::unique_ptr<OffscreenBitmap> background_;
    Gdiplus::Image* backgroundSource_ = nullptr;
    std::unique_ptr<PaintResourceSet> resources_;
    std::unique_ptr<Gdiplus::SolidBrush> fill_;
    std::unique_ptr<Gdiplus::StringFormat> leftFormat_;
    std::unique_ptr<Gdiplus::SolidBrush> shadow_;
    std::unique_ptr<OffscreenBitmap> buffer_;
};

std::unique_ptr<FrameCache> frameCache;

FrameCache& cache() {
    if (!frameCache) frameCache = std::make_unique<FrameCache>();
    return *frameCache;
}

void openWithShell(const std::wstring& address) {
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

WebPageOpener webPageOpener = openWithShell;

}  // namespace

void drawMainScreen(Gdiplus::Graphics& graphics) {
    FrameCache& kept = cache();
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    kept.drawBackground(graphics);
    drawParticles(graphics, kept.particleBrush());
    drawControls(graphics, kept.tools());
}

void drawMainScreenPlain(Gdiplus::Graphics& graphics) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    if (launcherState.backgroundImage) {
        graphics.DrawImage(launcherState.backgroundImage, 0, 0, kFrameWidth, kFrameHeight);
    }
    drawParticles(graphics);
    const PaintResourceSet resources;
    drawControls(graphics, ControlTools{resources.get()});
}

void releaseMainScreenCaches() { frameCache.reset(); }

void paintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC windowDc = BeginPaint(window, &paint);
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    OffscreenBitmap& buffer = cache().buffer(windowDc, width, height);
    if (buffer.valid()) {
        {
            Gdiplus::Graphics graphics(buffer.dc());
            drawMainScreen(graphics);
        }
        BitBlt(windowDc, 0, 0, width, height, buffer.dc(), 0, 0, SRCCOPY);
    }
    EndPaint(window, &paint);
}

void handleMouseMove(int x, int y) {
    LauncherState& state = launcherState;
    if (!state.settingsOpen) {
        state.newsHover = pointInRect(newsButtonRect, x, y);
        state.rankingHover = pointInRect(rankingButtonRect, x, y);
        state.settingsHover = pointInRect(settingsButtonRect, x, y);
        state.startHover = pointInRect(startButtonRect, x, y);
        state.closeHover = pointInRect(closeButtonRect, x, y);
    } else {
        handleSettingsMouseMove(x, y);
        state.startHover = false;
        state.settingsHover = false;
    }
    requestRepaint();
}

PressResult handleLeftButtonDown(HWND window, int x, int y) {
    LauncherState& state = launcherState;
    if (pointInRect(closeButtonRect, x, y)) {
        DestroyWindow(window);
        return PressResult::Handled;
    }
    if (state.settingsOpen) {
        handleSettingsClick(x, y);
        return PressResult::Handled;
    }
    if (pointInRect(settingsButtonRect, x, y)) {
        state.settingsOpen = true;
        requestRepaint();
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

WebPageOpener setWebPageOpener(WebPageOpener opener) {
    WebPageOpener previous = webPageOpener;
    webPageOpener = opener ? opener : openWithShell;
    return previous;
}

std::wstring webPageAddress(const wchar_t* path) {
    return std::wstring(LAUNCHER_WEB_BASE_URL) + path;
}
