// Window geometry shared by the main screen and the settings panel.
#pragma once

#include <windows.h>

// Hit rectangles count the left and top edges in, the right and bottom out.
constexpr bool pointInRect(const RECT& rect, int x, int y) {
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}
