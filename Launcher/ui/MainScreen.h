// The main screen: its paint pass and its reaction to the mouse.
#pragma once

#include <windows.h>

#include <string>

#include "draw/Geometry.h"

namespace Gdiplus {
class Graphics;
class Image;
}  // namespace Gdiplus

// Hit rectangles: left and top edges inside, right and bottom outside.
constexpr RECT newsButtonRect{80, 280, 260, 330};
constexpr RECT rankingButtonRect{80, 340, 260, 390};
constexpr RECT settingsButtonRect{80, 400, 260, 450};
constexpr RECT startButtonRect{620, 390, 860, 460};
constexpr RECT closeButtonRect{860, 10, 890, 40};

// WM_PAINT: draws the frame, double-buffered, and shows what is to be
// repainted.
void paintWindow(HWND window);
// A tick's repaint of `changed`, the dots' old and new places: shown at once
// from a frame drawn now, or asked for like any repaint when more of the
// window awaits one (or the frame changed more).
void repaintAfterTick(HWND window, HRGN changed);

// The whole frame of the current state drawn into `graphics`, with the
// picture, fonts and brushes kept from frame to frame.
void drawMainScreen(Gdiplus::Graphics& graphics);
// The same frame with everything made afresh and the picture scaled by
// GDI+ on every call; the reference the kept pieces are measured against.
void drawMainScreenPlain(Gdiplus::Graphics& graphics);
// Drops what drawMainScreen and paintWindow keep; call before GDI+ shuts
// down, and after replacing the background picture.
void releaseMainScreenCaches();
// Draws `picture` at the window's size ahead of the first frame, which then
// takes it instead of drawing it; callable on any thread while no frame is
// drawn. releaseMainScreenCaches drops it if no frame took it.
void preparePicture(Gdiplus::Image* picture);
// Whether frames compose the dots from kept shapes where the platform allows
// it (the default); off, GDI+ fills every dot. For tests of both ways.
void allowKeptDotShapes(bool allowed);

// WM_MOUSEMOVE: updates the hover flags (or the settings panel's list row
// while the panel is open) and requests a repaint.
void handleMouseMove(int x, int y);

enum class PressResult { Handled, DragWindow };

// WM_LBUTTONDOWN: runs the first action whose area holds the point, or
// answers DragWindow for a press that only moves the window.
PressResult handleLeftButtonDown(HWND window, int x, int y);

// NEWS and RANKING open their pages through this; tests put in their own.
using WebPageOpener = void (*)(const std::wstring& address);
// Installs `opener` (null restores the shell) and returns the one it replaces.
WebPageOpener setWebPageOpener(WebPageOpener opener);
// The web site's base address followed by `path`.
std::wstring webPageAddress(const wchar_t* path);
