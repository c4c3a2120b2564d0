// Prints, side by side: the median and 95th percentile of the plain and the
// shipped frame, and the CPU share of one core that the running launcher
// takes over 10 s with its window shown and the update pass over, once with
// the shipped paint pass and once with the plain one (a tick repainting the
// whole window), with what the X server and the wineserver spend meanwhile
// (bench/ui/run.sh tells it their ids).
// Usage: ui_bench [frames] [idle]   (both when none is named)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Application.h"
#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Offscreen.h"
#include "ui/FrameCache.h"
#include "ui/MainScreen.h"
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
    // At the DPI the launcher would take, with the picture it would draw.
    const Scale scale = launcherState.scale = Scale{windowDpi(nullptr)};
    const SIZE size = windowSize(scale);
    const bool twice = twiceSizePictureNearer(size.cx);
    std::unique_ptr<Gdiplus::Image> picture = loadBackgroundImage(GetModuleHandleW(nullptr), twice);
    (twice ? launcherState.backgroundImage2x : launcherState.backgroundImage) = picture.get();
    launcherState.particles.clear();
    spawnParticles();
    launcherState.progressPercent = 37;
    launcherState.statusDetail.set(L"Downloading: data/textures/terrain.pak");

    OffscreenBitmap target(nullptr, size.cx, size.cy);
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
    std::printf("frame (ms, %d frames each, %s, %d DPI)   median    p95\n", frames,
                downloading ? "state changing every frame" : "steady state", scale.dpi);
    std::printf("  plain                      %6.3f  %6.3f\n", p.median, p.p95);
    std::printf("  shipped                    %6.3f  %6.3f\n", s.median, s.p95);
    std::printf("  plain / shipped            %6.2fx %6.2fx\n", p.median / s.median, p.p95 / s.p95);

    releaseMainScreenCaches();
    launcherState.backgroundImage = launcherState.backgroundImage2x = nullptr;
    picture.reset();
    Gdiplus::GdiplusShutdown(token);
}

// The paint pass made the plain way, for the comparison run: a tick asks to
// repaint the whole window, and each paint makes a new bitmap, graphics,
// fonts and brushes, the picture scaled by GDI+.
WNDPROC launcherProcedure = nullptr;
LRESULT CALLBACK plainPaintProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        stepParticles(launcherState.particles);
        requestRepaint();
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message != WM_PAINT)
        return CallWindowProcW(launcherProcedure, window, message, wParam, lParam);
    RECT client{};
    GetClientRect(window, &client);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    {
        OffscreenBitmap buffer(dc, client.right, client.bottom);
        {
            Gdiplus::Graphics graphics(buffer.dc());
            drawMainScreenPlain(graphics);
        }
        BitBlt(dc, 0, 0, client.right, client.bottom, buffer.dc(), 0, 0, SRCCOPY);
    }
    EndPaint(window, &paint);
    return 0;
}

// User and system CPU seconds of a Linux process (every thread), read from
// /proc through Wine's drive Z:; -1 when it cannot be read. (Wine opens files
// in the wineserver, so "self" there would be the wineserver.)
double unixCpuSeconds(const char* pid) {
    std::ifstream in(std::string("Z:\\proc\\") + pid + "\\stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return -1.0;
    // After the name: state, then ten fields, then utime and stime in 1/100 s.
    std::istringstream fields(text.substr(nameEnd + 1));
    std::string field;
    for (int i = 0; i < 11; ++i) fields >> field;
    double user = 0.0, system = 0.0;
    if (!(fields >> user >> system)) return -1.0;
    return (user + system) / 100.0;
}

// Every thread of this process, as Wine counts them.
double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct CpuClocks {
    double launcher, xserver, wineserver;
    static CpuClocks now() {
        const auto of = [](const char* variable) {
            const char* pid = std::getenv(variable);
            return pid ? unixCpuSeconds(pid) : -1.0;
        };
        return CpuClocks{processCpuSeconds(), of("UI_BENCH_XSERVER_PID"),
                         of("UI_BENCH_WINESERVER_PID")};
    }
};

struct IdleRun {
    // Shares of one core; negative when not measured.
    double cpuShare = -1.0;
    double xserverShare = -1.0;
    double wineserverShare = -1.0;
    double framesPerSecond = 0.0;
};

// Each tick shows a frame, through WM_PAINT or at once.
int ticksSeen = 0;
WNDPROC countedProcedure = nullptr;
LRESULT CALLBACK countingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) ++ticksSeen;
    return CallWindowProcW(countedProcedure, window, message, wParam, lParam);
}

// Runs the real launcher on this thread; a watcher waits for the shown
// window and the end of the update pass, measures 10 s from 1 s later (the
// kept dot shapes still filling up) and 10 s from 30 s later (steady), then
// closes it. Every wait is bounded: a window that never shows (the launcher's
// own message box instead) or a run that will not end is ended by the
// watcher and reported, never waited for.
struct IdleRuns {
    IdleRun first, steady;
    const char* failure = nullptr;
};
IdleRuns measureIdleLauncher(bool plainPaint) {
    launcherState.particles.clear();
    launcherState.updateFinished = false;
    launcherState.window = nullptr;
    IdleRuns runs;
    std::atomic<bool> ended{false};
    const DWORD launcherThread = GetCurrentThreadId();
    std::thread watcher([&] {
        const auto waitForEnd = [&](int seconds) {
            for (int i = 0; i < seconds * 50 && !ended; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return ended.load();
        };
        // WM_QUIT ends a modal loop too (a message box), and then the launcher's.
        const auto giveUp = [&](const char* failure) {
            runs.failure = failure;
            if (!ended) PostThreadMessageW(launcherThread, WM_QUIT, 0, 0);
            if (waitForEnd(30)) return;
            std::printf("idle: %s, and the launcher did not end: stopped\n", failure);
            TerminateProcess(GetCurrentProcess(), 3);
        };
        HWND window = nullptr;
        for (int i = 0; i < 1000 && !(window && IsWindowVisible(window)) && !ended; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            window = launcherState.window.load();
        }
        if (!window || !IsWindowVisible(window)) return giveUp("no launcher window within 20 s");
        for (int i = 0; i < 3000 && !launcherState.updateFinished; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!launcherState.updateFinished) return giveUp("the update pass did not end within 30 s");
        // Only now: the launcher's own tick starts the pass.
        if (plainPaint) {
            launcherProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
            SetWindowLongPtrW(window, GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(plainPaintProcedure));
        }
        countedProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingProcedure));
        const auto measure = [](IdleRun& run) {
            const CpuClocks before = CpuClocks::now();
            const int ticksStart = ticksSeen;
            const double start = nowMs();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            const double wall = (nowMs() - start) / 1000.0;
            const CpuClocks after = CpuClocks::now();
            const auto share = [wall](double from, double to) {
                return from < 0.0 || to < 0.0 ? -1.0 : (to - from) / wall;
            };
            run.cpuShare = share(before.launcher, after.launcher);
            run.xserverShare = share(before.xserver, after.xserver);
            run.wineserverShare = share(before.wineserver, after.wineserver);
            run.framesPerSecond = (ticksSeen - ticksStart) / wall;
        };
        std::this_thread::sleep_for(std::chrono::seconds(1));
        measure(runs.first);
        std::this_thread::sleep_for(std::chrono::seconds(19));
        measure(runs.steady);
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (!waitForEnd(30)) giveUp("the window did not close within 30 s");
    });
    runLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ended = true;
    watcher.join();
    // After a run that was given up: its window and the quit message the
    // launcher's loop left unread must not end the next run.
    if (HWND left = launcherState.window.load()) DestroyWindow(left);
    MSG unread;
    while (PeekMessageW(&unread, nullptr, 0, 0, PM_REMOVE)) {
    }
    // The class outlives the window; the next run registers it again.
    UnregisterClassW(kWindowClassName, GetModuleHandleW(nullptr));
    return runs;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto wanted = [&](const char* stage) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == stage) return true;
        }
        return false;
    };
    if (wanted("frames")) {
        measureFrames(300, false);
        measureFrames(150, true);
    }
    if (!wanted("idle")) return 0;
    // Alternated, twice, so that neither profits from a quieter moment.
    IdleRuns shipped[2], plain[2];
    for (int round = 0; round < 2; ++round) {
        shipped[round] = measureIdleLauncher(false);
        plain[round] = measureIdleLauncher(true);
        for (const IdleRuns* run : {&shipped[round], &plain[round]}) {
            if (run->failure) std::printf("idle: round %d: %s\n", round + 1, run->failure);
        }
    }
    std::printf(
        "idle launcher, CPU share of one core over 10 s, from 1 s and from 30 s after "
        "the pass (two rounds)\n");
    std::printf(
        "                         shipped: launcher  X server  wineserver   plain: "
        "launcher  X server  wineserver  frames/s\n");
    const auto column = [](double share) {
        if (share < 0.0) {
            std::printf("       n/a");
        } else {
            std::printf("  %6.1f %%", share * 100.0);
        }
    };
    for (int round = 0; round < 2; ++round) {
        for (bool steady : {false, true}) {
            const IdleRun& s = steady ? shipped[round].steady : shipped[round].first;
            const IdleRun& p = steady ? plain[round].steady : plain[round].first;
            std::printf(" round %d, %-13s        ", round + 1, steady ? "from 30 s" : "from 1 s");
            column(s.cpuShare);
            column(s.xserverShare);
            column(s.wineserverShare);
            std::printf("         ");
            column(p.cpuShare);
            column(p.xserverShare);
            column(p.wineserverShare);
            std::printf("  %.0f / %.0f\n", s.framesPerSecond, p.framesPerSecond);
        }
    }
    std::printf("target: shipped launcher and X server together <= 5 %% of one core at 96 DPI\n");
    return 0;
}
