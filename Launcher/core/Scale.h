// From the design's units (pixels at 96 DPI) to the window's pixels at the
// monitor's DPI, and back for the pointer.
#pragma once

#include <windows.h>

constexpr int kDesignDpi = 96;

// Rounded towards minus infinity, for positions left of or above the window too.
constexpr int floorDivide(int numerator, int denominator) {
    const int quotient = numerator / denominator;
    return quotient * denominator > numerator ? quotient - 1 : quotient;
}

struct Scale {
    int dpi = kDesignDpi;

    constexpr bool isDesign() const { return dpi == kDesignDpi; }
    // A design coordinate or length in pixels, rounded half up: 96 DPI is the
    // identity, and every edge lies on a whole pixel at any DPI, so a fill
    // between two edges has no blended border.
    constexpr int px(int design) const {
        return floorDivide(design * dpi + kDesignDpi / 2, kDesignDpi);
    }
    constexpr RECT rect(const RECT& design) const {
        return RECT{px(design.left), px(design.top), px(design.right), px(design.bottom)};
    }
    // Sizes that need no whole pixels: fonts, pens, the dots.
    // The factor is exact for the usual DPIs, and 1 leaves the size as it is.
    constexpr float size(float design) const {
        return design * (static_cast<float>(dpi) / static_cast<float>(kDesignDpi));
    }
    // The design coordinate of window pixel `pixel`: the largest whose px()
    // is not past it. So a pixel lies in rect(r) exactly when its design
    // point lies in r, and hit tests keep the design's rectangles.
    constexpr int design(int pixel) const {
        return floorDivide(pixel * kDesignDpi + kDesignDpi / 2 - 1, dpi);
    }
};
