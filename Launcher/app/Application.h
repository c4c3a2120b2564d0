// Process start-up, the window procedure and the message loop.
#pragma once

#include <windows.h>

#include <memory>

#include "draw/Geometry.h"
#include "core/Scale.h"

namespace Gdiplus {
class Image;
}

constexpr UINT_PTR kRepaintTimerId = 1;
constexpr UINT kRepaintTimerPeriodMs = 16;
extern const wchar_t kWindowClassName[];
extern const wchar_t kWindowTitle[];

// Top-left corner that centres a window of the given size (the design's by
// default) on a screen of the given size (not clamped: a small screen gives
// a negative corner).
POINT centredWindowOrigin(int screenWidth, int screenHeight,
                          SIZE window = SIZE{kWindowWidth, kWindowHeight});

// The window's size at `scale`.
SIZE windowSize(const Scale& scale);
// The DPI the window is drawn at: its own where Windows knows it per window
// (Windows 10 1607 and later), else the system's; the system's for null.
int windowDpi(HWND window);

// Decodes the background picture from the module's "PNG" resource (the one
// twice the size when asked); null when it is missing or cannot be decoded.
// GDI+ must be running, and the picture must go before it shuts down.
std::unique_ptr<Gdiplus::Image> loadBackgroundImage(HMODULE module, bool twiceTheSize = false);

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
