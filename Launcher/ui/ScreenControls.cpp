#include "ui/ScreenControls.h"

#include <algorithm>
#include <memory>
#include <string>

#include "ui/KeyboardFocus.h"

namespace {

constexpr Gdiplus::ARGB kTrackColour = 0xFF282828;
constexpr Gdiplus::ARGB kBarColour = 0xFF00B478;
constexpr Gdiplus::ARGB kButtonColour = 0xFF282828;
constexpr Gdiplus::ARGB kButtonHoverColour = 0xFF505050;
constexpr Gdiplus::ARGB kStartColour = 0xFF00B478;
constexpr Gdiplus::ARGB kStartHoverColour = 0xFF00DC96;
constexpr Gdiplus::ARGB kCloseColour = 0xFF961E1E;
constexpr Gdiplus::ARGB kCloseHoverColour = 0xFFDC3C3C;

}  // namespace

const Button kButtons[kButtonCount] = {
    {newsButtonRect, 15, kButtonColour, kButtonHoverColour, L"NEWS", &LauncherState::newsHover},
    {rankingButtonRect, 15, kButtonColour, kButtonHoverColour, L"RANKING",
     &LauncherState::rankingHover},
    {settingsButtonRect, 15, kButtonColour, kButtonHoverColour, L"SETTINGS",
     &LauncherState::settingsHover},
    {startButtonRect, 20, kStartColour, kStartHoverColour, L"START GAME",
     &LauncherState::startHover},
    {closeButtonRect, 10, kCloseColour, kCloseHoverColour, L"X", &LauncherState::closeHover},
};

namespace {

RECT shifted(RECT rect, int by) {
    OffsetRect(&rect, by, by);
    return rect;
}

// Shapes and texts are laid out in design units and drawn at the window's scale.
void fillShape(Gdiplus::Graphics& graphics, const ControlTools& tools, int designD,
               const RECT& designRect, Gdiplus::ARGB colour) {
    const RECT rect = launcherState.scale.rect(designRect);
    const int d = launcherState.scale.px(designD);
    if (tools.fill) {
        fillRoundedRect(graphics, *tools.fill, d, rect.left, rect.top, rectWidth(rect),
                        rectHeight(rect), colour);
    } else {
        fillRoundedRect(graphics, d, rect, colour);
    }
}

void drawButton(Gdiplus::Graphics& graphics, const ControlTools& tools, const Button& button) {
    fillShape(graphics, tools, button.d, button.rect,
              launcherState.*button.hover ? button.hoverColour : button.colour);
    graphics.DrawString(button.label, -1, tools.resources.buttonFont,
                        textBox(launcherState.scale, button.rect), tools.resources.centredFormat,
                        tools.resources.whiteBrush);
    // The main screen's stops are the buttons, in the same order.
    const int32_t stop = static_cast<int32_t>(&button - kButtons);
    if (focusRingStop() == stop) drawFocusRing(graphics, stop);
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
                        textBox(launcherState.scale, shifted(statusLineRect, kStatusShadowOffset)),
                        format, shadow);
    graphics.DrawString(status.c_str(), length, tools.resources.smallFont,
                        textBox(launcherState.scale, statusLineRect), format,
                        tools.resources.whiteBrush);
}

// The pixels a rounded fill can touch: its corner squares reach past the
// rectangle when it is narrower than d (the bar near 0 %).
RECT roundedFootprint(int d, const RECT& rect) {
    return RECT{(std::min)(rect.left, rect.right - d), (std::min)(rect.top, rect.bottom - d),
                (std::max)(rect.right, rect.left + d), (std::max)(rect.bottom, rect.top + d)};
}

}  // namespace

void drawControl(Gdiplus::Graphics& graphics, const ControlTools& tools, int control) {
    switch (control) {
    case Track:
        fillShape(graphics, tools, kProgressCornerDiameter, progressTrackRect, kTrackColour);
        break;
    case Bar:
        fillShape(graphics, tools, kProgressCornerDiameter,
                  progressBarRect(launcherState.progressPercent.load()), kBarColour);
        break;
    case Status:
        drawStatusLine(graphics, tools);
        break;
    default:
        drawButton(graphics, tools, kButtons[control - FirstButton]);
        break;
    }
}

RECT controlFootprint(int control) {
    const Scale& scale = launcherState.scale;
    const int d = scale.px(kProgressCornerDiameter);
    RECT r{};
    switch (control) {
    case Track:
        r = roundedFootprint(d, scale.rect(progressTrackRect));
        break;
    case Bar:
        r = roundedFootprint(d, scale.rect(progressBarRect(launcherState.progressPercent.load())));
        break;
    case Status: {
        const RECT line = scale.rect(statusLineRect);
        const RECT shadow = scale.rect(shifted(statusLineRect, kStatusShadowOffset));
        UnionRect(&r, &line, &shadow);
        break;
    }
    default:
        r = scale.rect(kButtons[control - FirstButton].rect);
        break;
    }
    InflateRect(&r, 2, 2);
    return r;
}
