// Prints, side by side: the median and 95th percentile of the plain and the
// shipped frame, and the CPU share of one core that the running launcher
// takes over 10 s with its window shown and the update pass over, once with
// the shipped paint pass and once with the plain one.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

#include "app/Application.h"
#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "ui/MainScreen.h"
#include "draw/Offscreen.h"
#include "ui/Particles.h"

namespace {

double nowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct Spread {
    double median;
    double p95;
};

Spread spread(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return Spread{samples[samples.size() / 2], samples[samples.size() * 95 / 100]};
}

// `downloading`: the progress and the status text change before every
// frame, as they do while a file arrives.
void measureFrames(int frames, bool downloading) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    launcherState.backgroundImage = loadBackgroundImage(GetModuleHandleW(nullptr));
    launcherState.particles.clear();
    spawnParticles();
    launcherState.progressPercent = 37;
    launcherState.statusDetail.set(L"Downloading: data/textures/terrain.pak");

    OffscreenBitmap target(nullptr, 900, 550);
    std::vector<double> plain, shipped;
    for (int i = 0; i < frames + 10; ++i) {
        stepParticles(launcherState.particles);
        if (downloading) {
            launcherState.progressPercent = i % 101;
            launcherState.statusDetail.set(L"Downloading: data/textures/part" +
                                           std::to_wstring(i % 7) + L".pak");
        }
        // Alternate which way goes first so neither profits from warm caches.
        for (int pass = 0; pass < 2; ++pass) {
            const bool plainPass = (pass == 0) == (i % 2 == 0);
            const double start = nowMs();
            {
                Gdiplus::Graphics graphics(target.dc());
                if (plainPass) {
                    drawMainScreenPlain(graphics);
                } else {
                    drawMainScreen(graphics);
                }
            }
            GdiFlush();
            const double elapsed = nowMs() - start;
            if (i >= 10) (plainPass ? plain : shipped).push_back(elapsed);  // 10 warm-up frames
        }
    }
    const Spread p = spread(plain), s = spread(shipped);
    std::printf("frame (ms, %d frames each, %s)   median    p95\n", frames,
                downloading ? "state changing every frame" : "steady state");
    std::printf("  plain                      %6.3f  %6.3f\n", p.median, p.p95);
    std::printf("  shipped                    %6.3f  %6.3f\n", s.median, s.p95);
    std::printf("  plain / shipped            %6.2fx %6.2fx\n", p.median / s.median, p.p95 / s.p95);

    releaseMainScreenCaches();
    delete launcherState.backgroundImage;
    launcherState.backgroundImage = nullptr;
    Gdiplus::GdiplusShutdown(token);
}

// The paint pass made the plain way, for the comparison run: a new bitmap,
// graphics, fonts and brushes every time, the picture scaled by GDI+.
WNDPROC launcherProcedure = nullptr;
LRESULT CALLBACK plainPaintProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT)
        return CallWindowProcW(launcherProcedure, window, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    {
        OffscreenBitmap buffer(dc, 900, 550);
        {
            Gdiplus::Graphics graphics(buffer.dc());
            drawMainScreenPlain(graphics);
        }
        BitBlt(dc, 0, 0, 900, 550, buffer.dc(), 0, 0, SRCCOPY);
    }
    EndPaint(window, &paint);
    return 0;
}

double cpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct IdleRun {
    double cpuShare = -1.0;  // of one core
    double framesPerSecond = 0.0;
};

int paintsSeen = 0;
WNDPROC countedProcedure = nullptr;
LRESULT CALLBACK countingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) ++paintsSeen;
    return CallWindowProcW(countedProcedure, window, message, wParam, lParam);
}

// Runs the real launcher on this thread; a watcher waits for the shown
// window and the end of the update pass, measures 10 s, then closes it.
IdleRun measureIdleLauncher(bool plainPaint, double seconds) {
    launcherState.particles.clear();
    launcherState.updateFinished = false;
    launcherState.window = nullptr;
    IdleRun run;
    std::thread watcher([&] {
        HWND window = nullptr;
        for (int i = 0; i < 1000 && !(window && IsWindowVisible(window)); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            window = launcherState.window.load();
        }
        if (!window) return;
        if (plainPaint) {
            launcherProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
            SetWindowLongPtrW(window, GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(plainPaintProcedure));
        }
        countedProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingProcedure));
        for (int i = 0; i < 3000 && !launcherState.updateFinished; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpuStart = cpuSeconds();
        const int paintsStart = paintsSeen;
        const double start = nowMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
        const double wall = (nowMs() - start) / 1000.0;
        run.cpuShare = (cpuSeconds() - cpuStart) / wall;
        run.framesPerSecond = (paintsSeen - paintsStart) / wall;
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    runLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    watcher.join();
    return run;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    measureFrames(300, false);
    measureFrames(150, true);
    const IdleRun shipped = measureIdleLauncher(false, 10.0);
    const IdleRun plain = measureIdleLauncher(true, 10.0);
    std::printf("idle launcher over 10 s     CPU of one core   paints/s\n");
    std::printf("  plain paint pass           %6.1f %%        %6.1f\n", plain.cpuShare * 100.0,
                plain.framesPerSecond);
    std::printf("  shipped paint pass         %6.1f %%        %6.1f\n", shipped.cpuShare * 100.0,
                shipped.framesPerSecond);
    if (shipped.cpuShare > 0.0) {
        std::printf("  plain / shipped            %6.2fx\n", plain.cpuShare / shipped.cpuShare);
    }
    return 0;
}
