#include "core/LauncherState.h"

LauncherState launcherState;

void requestRepaint() {
    // A null window would make InvalidateRect repaint every window on the desktop.
    if (HWND window = launcherState.window.load()) InvalidateRect(window, nullptr, FALSE);
}

void requestRestart() {
    if (HWND window = launcherState.window.load())
        PostMessageW(window, kRestartLauncherMessage, 0, 0);
}
