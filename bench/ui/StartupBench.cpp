// Start-up: the time from starting a program to its first frame on screen,
// for Launcher.exe and for a minimal program that opens a window of the same
// size and paints it once, alternated, ten starts each; prints the medians
// and their ratio. A start counts as shown when the screen, read back from
// the display, holds the START GAME button's green at a spot inside the
// button (the minimal program paints its whole window in that green).
// Usage: startup_bench LAUNCHER MINIMAL WORKDIR   (in the test sandbox)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/Scale.h"

namespace {

constexpr COLORREF kGreen = RGB(0x00, 0xB4, 0x78);

double nowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// A spot inside START GAME, below its label, in screen coordinates, with the
// window at the screen's DPI.
POINT spot(HDC screen) {
    const Scale scale{GetDeviceCaps(screen, LOGPIXELSX)};
    return POINT{(GetSystemMetrics(SM_CXSCREEN) - scale.px(900)) / 2 + scale.px(632),
                 (GetSystemMetrics(SM_CYSCREEN) - scale.px(550)) / 2 + scale.px(450)};
}

bool green(HDC screen, POINT at) {
    return GetPixel(screen, at.x, at.y) == kGreen;
}

BOOL CALLBACK closeWindowsOf(HWND window, LPARAM process) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(process)) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// Milliseconds from CreateProcess to the green on screen; -1 on failure.
double timeStart(const std::wstring& program, const std::wstring& folder) {
    HDC screen = GetDC(nullptr);
    const POINT at = spot(screen);
    for (int i = 0; i < 500 && green(screen, at); ++i) Sleep(10);  // the last one gone
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const double start = nowMs();
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        ReleaseDC(nullptr, screen);
        return -1.0;
    }
    double shown = -1.0;
    while (nowMs() - start < 30000.0) {
        if (green(screen, at)) {
            shown = nowMs() - start;
            break;
        }
        Sleep(1);
    }
    EnumWindows(closeWindowsOf, static_cast<LPARAM>(process.dwProcessId));
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ReleaseDC(nullptr, screen);
    return shown;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring widen(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: startup_bench LAUNCHER MINIMAL WORKDIR\n");
        return 2;
    }
    const std::wstring launcher = widen(argv[1]), minimal = widen(argv[2]), folder = widen(argv[3]);
    std::vector<double> ours, yardstick;
    timeStart(minimal, folder);  // warms the file cache and the prefix
    timeStart(launcher, folder);
    for (int i = 0; i < 10; ++i) {
        const double a = timeStart(launcher, folder);
        const double b = timeStart(minimal, folder);
        std::printf("  start %2d: launcher %7.1f ms, minimal window %7.1f ms\n", i + 1, a, b);
        if (a < 0 || b < 0) {
            std::printf("(a start FAILED)\n");
            return 1;
        }
        ours.push_back(a);
        yardstick.push_back(b);
    }
    const double o = median(ours), m = median(yardstick);
    std::printf(
        "start-up to first frame, median of 10   launcher %.1f ms   minimal window %.1f ms"
        "   ratio %.2f (target <= 1.10)\n",
        o, m, o / m);
    return 0;
}
