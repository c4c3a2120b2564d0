// The controls the main screen draws above the dots, one at a time: the
// screen's paint order draws them, the frame cache keeps and repairs them.
#pragma once

#include <windows.h>

#include <cstddef>

#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Drawing.h"

constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 550;
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
