// Window geometry shared by the main screen and the settings panel.
#pragma once

#include <windows.h>

// The window's client area, which every frame fills.
constexpr int kWindowWidth = 900;
constexpr int kWindowHeight = 550;
constexpr RECT kWindowRect{0, 0, kWindowWidth, kWindowHeight};

// Hit rectangles count the left and top edges in, the right and bottom out.
constexpr bool pointInRect(const RECT& rect, int x, int y) {
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

constexpr int rectWidth(const RECT& rect) {
    return rect.right - rect.left;
}
constexpr int rectHeight(const RECT& rect) {
    return rect.bottom - rect.top;
}
