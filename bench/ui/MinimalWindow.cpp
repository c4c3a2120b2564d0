// The yardstick of start-up: a program that opens a 900 x 550 window (at the
// screen's DPI, as the launcher's) in the middle of the screen and paints it
// once, in one colour, as plainly as Win32 allows.
#include <windows.h>

#include "core/Scale.h"

namespace {

LRESULT CALLBACK minimalProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HBRUSH brush = CreateSolidBrush(RGB(0x00, 0xB4, 0x78));
        FillRect(dc, &paint.rcPaint, brush);
        DeleteObject(brush);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = minimalProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"MinimalWindowClass";
    RegisterClassW(&windowClass);
    HDC screen = GetDC(nullptr);
    const Scale scale{GetDeviceCaps(screen, LOGPIXELSX)};
    ReleaseDC(nullptr, screen);
    const int width = scale.px(900), height = scale.px(550);
    HWND window = CreateWindowExW(0, L"MinimalWindowClass", L"Minimal", WS_POPUP,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                  nullptr, nullptr, instance, nullptr);
    ShowWindow(window, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
