// Process start-up, the window procedure and the message loop.
#pragma once

#include <windows.h>

namespace Gdiplus {
class Image;
}

constexpr int kWindowWidth = 900;
constexpr int kWindowHeight = 550;
constexpr UINT_PTR kRepaintTimerId = 1;
constexpr UINT kRepaintTimerPeriodMs = 16;
extern const wchar_t kWindowClassName[];
extern const wchar_t kWindowTitle[];

// Top-left corner that centres the window on a screen of the given size
// (not clamped: a small screen gives a negative corner).
POINT centredWindowOrigin(int screenWidth, int screenHeight);

// Decodes the background picture from the module's "PNG" resource;
// null when it is missing or cannot be decoded. GDI+ must be running.
Gdiplus::Image* loadBackgroundImage(HMODULE module);

// The background picture's rows of 32-bit pixels in the module's resources,
// made from the PNG when the program was built; null when the module has
// none (a picture that drawing would change is decoded instead).
const void* findBackgroundPixels(HMODULE module);

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts GDI+, creates and shows the window and runs the message loop until
// WM_QUIT. Returns the exit code, 0.
int runLauncher(HINSTANCE instance, int showCommand);
