// The controls the main screen draws above the dots: where each lies, how it
// looks, and how it is drawn on its own. The paint pass draws them in order;
// the frame cache keeps and repairs them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Drawing.h"
#include "draw/Geometry.h"

// Hit rectangles in design units (pixels at 96 DPI; draw/Scale.h maps them
// to the window): left and top edges inside, right and bottom outside.
constexpr RECT newsButtonRect{80, 280, 260, 330};
constexpr RECT rankingButtonRect{80, 340, 260, 390};
constexpr RECT settingsButtonRect{80, 400, 260, 450};
constexpr RECT startButtonRect{620, 390, 860, 460};
constexpr RECT closeButtonRect{860, 10, 890, 40};

// The progress track; the bar fills it from its left end, 7 design pixels a percent.
constexpr RECT progressTrackRect{100, 500, 800, 520};
constexpr int kProgressCornerDiameter = 10;
constexpr RECT progressBarRect(int32_t percent) {
    return RECT{progressTrackRect.left, progressTrackRect.top, progressTrackRect.left + 7 * percent,
                progressTrackRect.bottom};
}

// The status line's text box; its shadow lies one pixel right and down.
constexpr RECT statusLineRect{100, 475, 800, 500};
constexpr int kStatusShadowOffset = 1;
constexpr Gdiplus::ARGB kStatusShadowColour = 0x96000000;

// The five buttons in drawing order, with the hover flag that lights each.
struct Button {
    RECT rect;
    int d;
    Gdiplus::ARGB colour;
    Gdiplus::ARGB hoverColour;
    const wchar_t* label;
    bool LauncherState::*hover;
};
constexpr std::size_t kButtonCount = 5;
extern const Button kButtons[kButtonCount];

// What draws the controls: either everything made per call (the plain way)
// or pieces kept by the caller; null members mean "make it afresh".
struct ControlTools {
    const PaintResources& resources;
    Gdiplus::SolidBrush* fill = nullptr;
    const Gdiplus::StringFormat* leftFormat = nullptr;
    const Gdiplus::Brush* shadowBrush = nullptr;
};

// The controls above the dots, in the paint pass's order: the track, the
// bar, the five buttons and the status line. Each can be drawn on its own, so
// a frame can redraw just those a dot comes near.
enum Control : int {
    Track,
    Bar,
    FirstButton,
    Status = FirstButton + static_cast<int>(kButtonCount),
    kControlCount
};

void drawControl(Gdiplus::Graphics& graphics, const ControlTools& tools, int control);

// Where the control may change window pixels in the current state and
// scale, with two pixels to spare for smoothing. Texts stay inside their boxes (GDI+ clips them).
RECT controlFootprint(int control);
