// Shared pieces of the main-screen tests: GDI+ for the test binary, a clean
// LauncherState and frames rendered into 900 x 550 bitmaps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/Gdiplus.h"
#include "app/LauncherState.h"

constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 550;

// Starts GDI+ once for the whole binary and stops it at the end.
class GdiplusEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

// Puts every field the main screen reads back to its initial value.
void resetMainScreenState();

struct Frame {
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * kFrameWidth + x]; }
    // How many pixels of [left, right) x [top, bottom) equal `colour`.
    int count(int left, int top, int right, int bottom, uint32_t colour) const;
};

// A frame drawn the shipped way (kept pieces) or the plain way.
Frame renderShipped();
Frame renderPlain();

// The real background picture (owned by the caller; delete before GDI+ stops).
Gdiplus::Image* loadTestBackground();
