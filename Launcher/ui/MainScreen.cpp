// Interim main screen: only the background picture, until the full paint
// pass and the mouse actions are in.
#include "ui/MainScreen.h"

#include "app/Gdiplus.h"
#include "app/LauncherState.h"

void paintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    {
        Gdiplus::Graphics graphics(dc);
        if (launcherState.backgroundImage) {
            graphics.DrawImage(launcherState.backgroundImage, 0, 0, 900, 550);
        }
    }
    EndPaint(window, &paint);
}

void handleMouseMove(int, int) { requestRepaint(); }

PressResult handleLeftButtonDown(HWND, int, int) { return PressResult::DragWindow; }
