// Drawing pieces shared by the main screen and the settings panel.
#pragma once

#include "app/Gdiplus.h"

// The fonts, formats and brushes that every frame draws its texts with.
struct PaintResources {
    Gdiplus::Font* buttonFont = nullptr;           // bold, 18 px
    Gdiplus::Font* smallFont = nullptr;            // bold, 15 px
    Gdiplus::StringFormat* centredFormat = nullptr;  // centred, top-aligned
    Gdiplus::Brush* whiteBrush = nullptr;          // 0xFFFFFFFF
    Gdiplus::Brush* accentBrush = nullptr;         // 0xFFFF8C00
};

// Fills a rectangle whose corners are quarter ellipses of diameter d.
void fillRoundedRect(Gdiplus::Graphics& graphics, int d, int x, int y, int width, int height,
                     Gdiplus::ARGB colour);
