// The main screen: its paint pass and its reaction to the mouse.
#pragma once

#include <windows.h>

// WM_PAINT: draws the whole client area, double-buffered.
void paintWindow(HWND window);

// WM_MOUSEMOVE: updates the hover flags (or the settings panel's list row
// while the panel is open) and requests a repaint.
void handleMouseMove(int x, int y);

enum class PressResult { Handled, DragWindow };

// WM_LBUTTONDOWN: runs the first action whose area holds the point, or
// answers DragWindow for a press that only moves the window.
PressResult handleLeftButtonDown(HWND window, int x, int y);
