#include "app/Application.h"

#include <cstring>
#include <exception>
#include <future>

#include "app/Accessible.h"
#include "app/Instance.h"
#include "app/Taskbar.h"
#include "core/Gdiplus.h"
#include "core/Handles.h"
#include "core/LauncherState.h"
#include "core/SupportLog.h"
#include "game/GameSettings.h"
#include "resources/resource.h"
#include "ui/FrameCache.h"
#include "ui/KeyboardFocus.h"
#include "ui/MainScreen.h"
#include "ui/Particles.h"
#include "updater/UpdateWorker.h"

const wchar_t kWindowClassName[] = L"ZovraLauncherClass";
const wchar_t kWindowTitle[] = L"Zovra Launcher";
const wchar_t kNoWindowText[] = L"The launcher could not open its window.";

POINT centredWindowOrigin(int screenWidth, int screenHeight, SIZE window) {
    return POINT{(screenWidth - window.cx) / 2, (screenHeight - window.cy) / 2};
}

std::unique_ptr<Gdiplus::Image> loadBackgroundImage(HMODULE module, bool twiceTheSize) {
    const int id = twiceTheSize ? IDR_BACKGROUND_PNG_2X : IDR_BACKGROUND_PNG;
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    if (!resource) return nullptr;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, resource);
    if (!bytes || size == 0) return nullptr;

    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return nullptr;
    void* target = GlobalLock(block.get());
    if (!target) return nullptr;
    std::memcpy(target, bytes, size);
    GlobalUnlock(block.get());

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block.get(), TRUE, &stream)) || !stream) return nullptr;
    block.release();  // the stream frees it
    // The image keeps its own reference to the stream.
    auto image = std::make_unique<Gdiplus::Image>(stream, FALSE);
    stream->Release();
    if (image->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return image;
}

const void* findBackgroundPixels(HMODULE module) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(IDR_BACKGROUND_PIXELS), RT_RCDATA);
    if (!resource || SizeofResource(module, resource) != 4u * kWindowWidth * kWindowHeight) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(module, resource);
    return loaded ? LockResource(loaded) : nullptr;
}

int windowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (window && getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window)) return static_cast<int>(dpi);
    }
    int dpi = 0;
    if (HDC screen = GetDC(nullptr)) {
        dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : kDesignDpi;
}

SIZE windowSize(const Scale& scale) {
    return SIZE{scale.px(kWindowWidth), scale.px(kWindowHeight)};
}

namespace {

// What the first frame needs and takes long to make the first time when the
// program holds no ready pixels for it (none at all, or a window at another
// scale than the design's): the picture nearest the window's size decoded
// and drawn at that size, and the text's font looked up. It is made on a
// thread of its own, started as soon as GDI+ is, while the window class is
// registered (the first call that loads the display driver) and the window
// is created and shown, and taken just before the first frame. It also keeps
// the pictures until the window goes.
class FirstFrameWork {
public:
    void start(HMODULE module, const Scale& scale) {
        module_ = module;
        // With ready pixels only the font is left, which the first frame
        // looks up itself: on two cores a thread for it alone delays the
        // window more than it saves.
        if (launcherState.backgroundPixels && scale.isDesign()) return;
        const SIZE size = windowSize(scale);
        twice_ = twiceSizePictureNearer(size.cx);
        try {
            const bool twice = twice_;
            work_ = std::async(std::launch::async,
                               [module, twice, size] { return prepare(module, twice, size); });
        } catch (const std::exception&) {
            due_ = size;  // no thread or memory to spare: made when taken
        }
    }
    // Puts the picture into the state, waiting for it if need be; once.
    void take() {
        if (work_.valid()) {
            keep(twice_, work_.get());
        } else if (due_.cx) {
            keep(twice_, prepare(module_, twice_, due_));
        }
        due_ = SIZE{};
    }
    // After the scale changed: the picture nearest the new size, decoded now
    // when it is missing (where ready pixels serve, none is needed).
    void pictureFor(const Scale& scale) {
        take();
        const bool twice = twiceSizePictureNearer(windowSize(scale).cx);
        if (pictures_[twice] || (!twice && scale.isDesign() && launcherState.backgroundPixels)) {
            return;
        }
        keep(twice, loadBackgroundImage(module_, twice));
    }
    // The pictures go, taken or not; before GDI+ shuts down.
    void release() {
        if (work_.valid()) work_.get();
        due_ = SIZE{};
        for (bool twice : {false, true}) {
            Gdiplus::Image*& shown = twice ? launcherState.backgroundImage2x
                                           : launcherState.backgroundImage;
            if (shown == pictures_[twice].get()) shown = nullptr;
            pictures_[twice].reset();
        }
    }

private:
    static std::unique_ptr<Gdiplus::Image> prepare(HMODULE module, bool twice, SIZE size) {
        std::unique_ptr<Gdiplus::Image> picture = loadBackgroundImage(module, twice);
        preparePicture(picture.get(), size.cx, size.cy);
        return picture;
    }
    void keep(bool twice, std::unique_ptr<Gdiplus::Image> picture) {
        if (!picture) return;
        pictures_[twice] = std::move(picture);
        (twice ? launcherState.backgroundImage2x : launcherState.backgroundImage) =
            pictures_[twice].get();
    }

    std::future<std::unique_ptr<Gdiplus::Image>> work_;
    HMODULE module_ = nullptr;
    SIZE due_{};
    bool twice_ = false;
    std::unique_ptr<Gdiplus::Image> pictures_[2];
};

FirstFrameWork firstFrameWork;
// Set when the launcher's window is made; cleared when the worker starts.
bool workerDue = false;
// Cleared when the launcher's window is made; set by its first paint.
bool framePainted = false;
TaskbarButton taskbarButton;
// The shell's word that the window's taskbar button exists; 0 until the
// window is made.
UINT taskbarButtonCreatedMessage = 0;

LRESULT onCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Recorded before the worker starts, so it never asks to repaint a null window.
    launcherState.window = window;
    loadGameSettings();
    // The picture is the program's ready pixels, or is decoded before the
    // first frame (FirstFrameWork).
    spawnParticles();
    framePainted = false;
    workerDue = true;  // started with the first tick (startUpdateWorkerWhenDue)
    SetTimer(window, kRepaintTimerId, kRepaintTimerPeriodMs, nullptr);
    // A launcher run as administrator hears from the shell only when it lets
    // the message through.
    taskbarButtonCreatedMessage = RegisterWindowMessageW(L"TaskbarButtonCreated");
    if (taskbarButtonCreatedMessage) {
        ChangeWindowMessageFilterEx(window, taskbarButtonCreatedMessage, MSGFLT_ALLOW, nullptr);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The pass and the log's writer start once the first frame is on screen: a
// tick comes after the first paint of a shown window, and comes all the same
// when the window never paints (started minimised). Before it, their threads,
// loading and hashing would share the processor with the first frame.
void startUpdateWorkerWhenDue() {
    if (!workerDue) return;
    workerDue = false;
    startSupportLogWriter();
    startUpdateWorker();
}

// The window system shows a frame once the window thread waits for messages.
// The first tick, due by the end of the first paint, would come before
// that wait, and its work (the pass's start, the controls' layer) would
// keep the first frame off the screen: the timer starts again from here.
void onPaint(HWND window) {
    firstFrameWork.take();
    paintWindow(window);
    announceAccessibleChanges(window);
    if (framePainted) return;
    framePainted = true;
    SetTimer(window, kRepaintTimerId, kRepaintTimerPeriodMs, nullptr);
}

LRESULT onDestroy(HWND window) {
    // The worker's repaint and restart requests stop here: the handle may
    // soon name another program's window.
    launcherState.window = nullptr;
    KillTimer(window, kRepaintTimerId);
    taskbarButton.release();
    // The kept frame pieces and the picture are GDI+ objects: they go
    // before GDI+ does.
    releaseMainScreenCaches();
    firstFrameWork.release();
    Gdiplus::GdiplusShutdown(launcherState.gdiplusToken);
    launcherState.gdiplusToken = 0;
    disconnectAccessibleObject();
    PostQuitMessage(0);
    return 0;
}

// The taskbar follows the pass from here, on the window thread: the worker
// only writes the state, and never waits for the shell.
void onTimer(HWND window) {
    firstFrameWork.take();  // a tick may draw the first frame
    startUpdateWorkerWhenDue();
    advanceParticles();
    taskbarButton.show(window, taskbarProgressFor(launcherState));
}

// Without a window the launcher cannot be used, and would otherwise wait for
// ever while holding the game folder: every later start would exit at once.
int cannotOpenWindow() {
    releaseGameFolder();
    MessageBoxW(nullptr, kNoWindowText, kWindowTitle, MB_OK | MB_ICONERROR);
    return 1;
}

LRESULT onLeftButtonDown(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (handleLeftButtonDown(window, LOWORD(lParam), HIWORD(lParam)) == PressResult::Handled) {
        return 0;
    }
    // The system moves the borderless window with the pointer until release.
    ReleaseCapture();
    SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// A key held down acts once, as a held button does: its repeats would close
// the panel right after the list, or start the game the moment the pass
// ends. Tab and the arrows repeat, as they do everywhere.
LRESULT onKeyDown(HWND window, WPARAM key, LPARAM flags) {
    const bool repeated = (flags & (LPARAM{1} << 30)) != 0;
    const bool moves = key == VK_TAB || (key >= VK_LEFT && key <= VK_DOWN);
    if (!repeated || moves)
        handleKeyDown(window, static_cast<UINT>(key), GetKeyState(VK_SHIFT) < 0);
    return 0;
}

// Everything drawn is made again at the new scale, and the dots keep their
// places on the window.
void applyScale(const Scale& scale) {
    if (scale.dpi == launcherState.scale.dpi) return;
    rescaleParticles(launcherState.scale, scale);
    launcherState.scale = scale;
    firstFrameWork.pictureFor(scale);
    releaseMainScreenCaches();
}

// Moved to a monitor of another DPI, or its scale changed: the suggested
// rectangle keeps the window under the pointer that drags it.
LRESULT onDpiChanged(HWND window, int dpi, const RECT& suggested) {
    applyScale(Scale{dpi});
    SetWindowPos(window, nullptr, suggested.left, suggested.top, rectWidth(suggested),
                 rectHeight(suggested), SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
    return 0;
}

}  // namespace

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return onCreate(window, message, wParam, lParam);
    case WM_DESTROY:
        return onDestroy(window);
    case WM_PAINT:
        onPaint(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_TIMER:
        onTimer(window);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_MOUSEMOVE:
        handleMouseMove(LOWORD(lParam), HIWORD(lParam));
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_LBUTTONDOWN:
        return onLeftButtonDown(window, message, wParam, lParam);
    // Alt+F4 comes as WM_SYSKEYDOWN, which the system turns into WM_CLOSE:
    // the window goes as it does with X.
    case WM_KEYDOWN:
        return onKeyDown(window, wParam, lParam);
    case WM_DPICHANGED:
        return onDpiChanged(window, LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
    case kRestartLauncherMessage:
        restartLauncher(window);
        return 0;
    case WM_GETOBJECT:
        if (LRESULT answer = answerAccessibleObjectRequest(window, wParam, lParam)) return answer;
        return DefWindowProcW(window, message, wParam, lParam);
    case kAccessibleActionMessage:
        activateFocusStop(window, static_cast<int32_t>(wParam));
        return 0;
    case WM_UPDATEUISTATE:
        updateFocusCues(wParam);
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        if (message != 0 && message == taskbarButtonCreatedMessage) {
            taskbarButton.buttonCreated();
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void advanceParticles() {
    const HRGN changed = tickParticles();
    if (HWND window = launcherState.window.load()) repaintAfterTick(window, changed);
}

int runLauncher(HINSTANCE instance, int showCommand) {
    Gdiplus::GdiplusStartupInput startupInput;
    if (Gdiplus::GdiplusStartup(&launcherState.gdiplusToken, &startupInput, nullptr) !=
        Gdiplus::Ok) {
        return cannotOpenWindow();
    }
    launcherState.backgroundPixels = findBackgroundPixels(instance);
    // The system's DPI until the window has its own: where it is made.
    launcherState.scale = Scale{windowDpi(nullptr)};
    firstFrameWork.start(instance, launcherState.scale);

    WNDCLASSW windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = launcherWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LAUNCHER));
    windowClass.hCursor = LoadCursorW(instance, MAKEINTRESOURCEW(IDC_LAUNCHER_CURSOR));
    windowClass.hbrBackground = nullptr;
    windowClass.lpszClassName = kWindowClassName;
    // Made where it will stay: moving it afterwards costs the window
    // system a round of its own before the first frame.
    const SIZE size = windowSize(launcherState.scale);
    const POINT origin =
        centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), size);
    HWND window = RegisterClassW(&windowClass)
                      ? CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, origin.x,
                                        origin.y, size.cx, size.cy, nullptr, nullptr, instance,
                                        nullptr)
                      : nullptr;
    if (!window) {
        firstFrameWork.release();
        Gdiplus::GdiplusShutdown(launcherState.gdiplusToken);
        launcherState.gdiplusToken = 0;
        return cannotOpenWindow();
    }
    launcherState.window = window;
    // A monitor whose DPI is not the system's (made per monitor): its own
    // scale, before the window is first shown.
    const Scale own{windowDpi(window)};
    if (own.dpi != launcherState.scale.dpi) {
        applyScale(own);
        const SIZE ownSize = windowSize(own);
        const POINT centred = centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN),
                                                  GetSystemMetrics(SM_CYSCREEN), ownSize);
        SetWindowPos(window, nullptr, centred.x, centred.y, ownSize.cx, ownSize.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    publishInstanceWindow(window);
    ShowWindow(window, showCommand);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    firstFrameWork.release();
    return 0;
}
