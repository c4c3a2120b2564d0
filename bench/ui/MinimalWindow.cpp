// The yardstick of start-up: a program that opens a 900 x 550 window in the
// middle of the screen and paints it once, in one colour, as plainly as
// Win32 allows.
#include <windows.h>

namespace {

LRESULT CALLBACK minimalProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HBRUSH brush = CreateSolidBrush(RGB(0x00, 0xB4, 0x78));
        const RECT all{0, 0, 900, 550};
        FillRect(dc, &all, brush);
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
    HWND window = CreateWindowExW(
        0, L"MinimalWindowClass", L"Minimal", WS_POPUP, (GetSystemMetrics(SM_CXSCREEN) - 900) / 2,
        (GetSystemMetrics(SM_CYSCREEN) - 550) / 2, 900, 550, nullptr, nullptr, instance, nullptr);
    ShowWindow(window, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
