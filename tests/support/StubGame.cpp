// A stand-in for the game client Main.exe. It writes what it was started with
// to stub-game-record.txt in its working directory (UTF-8, one key=value per
// line):
//   commandline=<GetCommandLineW as received>
//   cwd=<GetCurrentDirectoryW>
//   mutex=absent | held | free   (the mutex "Dalvo5124": missing, owned by
//                                 another process, or existing but unowned)
// then exits with 0. With STUB_GAME_SHOW_MS set it first shows a small window
// saying the game client started, for that many milliseconds.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

std::wstring currentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::wstring directory(needed, L'\0');
    const DWORD written = GetCurrentDirectoryW(needed, &directory[0]);
    directory.resize(written < needed ? written : 0);
    return directory;
}

const char* mutexState() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Dalvo5124");
    if (!mutex) return "absent";
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return wait == WAIT_TIMEOUT ? "held" : "free";
}

void writeRecord() {
    const std::string record = "commandline=" + toUtf8(GetCommandLineW()) + "\n" +
                               "cwd=" + toUtf8(currentDirectory()) + "\n" +
                               "mutex=" + mutexState() + "\n";
    HANDLE file = CreateFileW(L"stub-game-record.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
}

void showStartedWindow(HINSTANCE instance, DWORD milliseconds) {
    HWND window = CreateWindowExW(0, L"STATIC", L"Game client started",
                                  WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE | SS_CENTER, 100, 100,
                                  320, 120, nullptr, nullptr, instance, nullptr);
    if (!window) return;
    const DWORD end = GetTickCount() + milliseconds;
    MSG message;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    DestroyWindow(window);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    writeRecord();
    wchar_t showMs[16] = {};
    if (GetEnvironmentVariableW(L"STUB_GAME_SHOW_MS", showMs, 16) > 0) {
        const long milliseconds = std::wcstol(showMs, nullptr, 10);
        if (milliseconds > 0) showStartedWindow(instance, static_cast<DWORD>(milliseconds));
    }
    return 0;
}
