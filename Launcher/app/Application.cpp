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

POINT centredWindowOrigin(int screenWidth, int screenHeight) {
    return POINT{(screenWidth - kWindowWidth) / 2, (screenHeight - kWindowHeight) / 2};
}

std::unique_ptr<Gdiplus::Image> loadBackgroundImage(HMODULE module) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(IDR_BACKGROUND_PNG), L"PNG");
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

namespace {

// What the first frame needs and takes long to make the first time when the
// program holds no ready pixels: the picture decoded and drawn at the
// window's size, and the text's font looked up. It is made on a thread of its
// own, started as soon as GDI+ is, while the window class is registered (the
// first call that loads the display driver) and the window is created and
// shown, and taken just before the first frame.
class FirstFrameWork {
public:
    void start(HMODULE module) {
        // With ready pixels only the font is left, which the first frame
        // looks up itself: on two cores a thread for it alone delays the
        // window more than it saves.
        if (launcherState.backgroundPixels) return;
        try {
            work_ = std::async(std::launch::async, [module] { return prepare(module); });
        } catch (const std::exception&) {
            module_ = module;  // no thread or memory to spare: made when taken
        }
    }
    // Puts the picture into the state, waiting for it if need be; once.
    void take() {
        if (work_.valid()) {
            picture_ = work_.get();
        } else if (module_) {
            picture_ = prepare(module_);
        }
        module_ = nullptr;
        if (picture_) launcherState.backgroundImage = picture_.get();
    }
    // The picture goes, taken or not; before GDI+ shuts down.
    void release() {
        if (work_.valid()) work_.get();
        module_ = nullptr;
        if (launcherState.backgroundImage == picture_.get()) launcherState.backgroundImage = nullptr;
        picture_.reset();
    }

private:
    static std::unique_ptr<Gdiplus::Image> prepare(HMODULE module) {
        std::unique_ptr<Gdiplus::Image> picture = loadBackgroundImage(module);
        preparePicture(picture.get());
        return picture;
    }

    std::future<std::unique_ptr<Gdiplus::Image>> work_;
    HMODULE module_ = nullptr;
    std::unique_ptr<Gdiplus::Image> picture_;
};

FirstFrameWork firstFrameWork;
// Set when the launcher's window is made; cleared when the worker starts.
bool workerDue = false;
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

// The pass starts once the first frame is on screen: a tick comes after
// the first paint of a shown window, and comes all the same when the window
// never paints (started minimised). Before it, its loading and hashing would
// share the processor with everything the first frame needs.
void startUpdateWorkerWhenDue() {
    if (!workerDue) return;
    workerDue = false;
    startUpdateWorker();
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

}  // namespace

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return onCreate(window, message, wParam, lParam);
    case WM_DESTROY:
        return onDestroy(window);
    case WM_PAINT:
        firstFrameWork.take();
        paintWindow(window);
        announceAccessibleChanges(window);
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
    firstFrameWork.start(instance);

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
    const POINT origin =
        centredWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    HWND window = RegisterClassW(&windowClass)
                      ? CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, origin.x,
                                        origin.y, kWindowWidth, kWindowHeight, nullptr, nullptr,
                                        instance, nullptr)
                      : nullptr;
    if (!window) {
        firstFrameWork.release();
        Gdiplus::GdiplusShutdown(launcherState.gdiplusToken);
        launcherState.gdiplusToken = 0;
        return cannotOpenWindow();
    }
    launcherState.window = window;
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
