// The main screen: its paint pass and its reaction to the mouse and keys.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "ui/ScreenControls.h"

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
// down, after replacing the background picture, and when the scale changes.
void releaseMainScreenCaches();

// WM_MOUSEMOVE at a point in window pixels (mapped back to design units for
// the hit rectangles): updates the hover flags (or the settings panel's list
// row while the panel is open) and requests a repaint.
void handleMouseMove(int windowX, int windowY);

enum class PressResult { Handled, DragWindow };

// WM_LBUTTONDOWN at a point of the window (as above): runs the first action
// whose area holds the point, or answers DragWindow for a press that only
// moves the window.
PressResult handleLeftButtonDown(HWND window, int windowX, int windowY);

// A press at the middle of a focus stop (KeyboardFocus.h); the panel's
// open list closes instead, and the volume takes no press.
void activateFocusStop(HWND window, int32_t stop);

// WM_KEYDOWN: Tab (Shift+Tab backwards) moves the keyboard focus, the arrows
// change its value, Space and Enter act on the focused control. With nothing
// focused, Enter starts the game when a press
// on START GAME would; Esc closes the settings panel's open list, or else the
// panel without saving; other keys, and Esc on the main screen, do nothing.
void handleKeyDown(HWND window, UINT key, bool shift = false);

// NEWS and RANKING open their pages through this; tests put in their own.
using WebPageOpener = void (*)(const std::wstring& address);
// Installs `opener` (null restores the shell) and returns the one it replaces.
WebPageOpener setWebPageOpener(WebPageOpener opener);
// The web site's base address followed by `path`.
std::wstring webPageAddress(const wchar_t* path);
