// Process start-up, the window procedure and the message loop.
#pragma once

#include <windows.h>

#include <memory>

#include "draw/Geometry.h"

namespace Gdiplus {
class Image;
}

constexpr UINT_PTR kRepaintTimerId = 1;
constexpr UINT kRepaintTimerPeriodMs = 16;
extern const wchar_t kWindowClassName[];
extern const wchar_t kWindowTitle[];

// Top-left corner that centres the window on a screen of the given size
// (not clamped: a small screen gives a negative corner).
POINT centredWindowOrigin(int screenWidth, int screenHeight);

// Decodes the background picture from the module's "PNG" resource;
// null when it is missing or cannot be decoded. GDI+ must be running, and
// the picture must go before it shuts down.
std::unique_ptr<Gdiplus::Image> loadBackgroundImage(HMODULE module);

// The background picture's rows of 32-bit pixels in the module's resources,
// made from the PNG when the program was built; null when the module has
// none (a picture that drawing would change is decoded instead).
const void* findBackgroundPixels(HMODULE module);

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// One timer tick: moves the dots and, while there is a window, shows their
// old and new places (nothing else changes on a tick).
void advanceParticles();

// The one text shown in a dialog: the window could not be made.
extern const wchar_t kNoWindowText[];

// Starts GDI+, creates and shows the window and runs the message loop until
// WM_QUIT. Returns the exit code: 0, or 1 when GDI+ or the window could not
// be started (after saying so in a message box and giving up the game folder).
int runLauncher(HINSTANCE instance, int showCommand);
