// A stand-in for the game client Main.exe. It writes what it was started with
// to stub-game-record.txt in its working directory (UTF-8, one key=value per
// line):
//   commandline=<GetCommandLineW as received>
//   cwd=<GetCurrentDirectoryW>
//   mutex=absent | held | free   (the mutex "Dalvo5124": missing, owned by
//                                 another process, or existing but unowned)
// then exits with 0. With STUB_GAME_SHOW_MS set (the demo) it first shows a
// small window saying the game client started, for that many milliseconds.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string toUtf8(const wchar_t* text) {
    char out[4 * 32768];
    return std::string(
        out, WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr) - 1);
}

const char* mutexState() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Dalvo5124");
    if (!mutex) return "absent";
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait != WAIT_TIMEOUT) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return wait == WAIT_TIMEOUT ? "held" : "free";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    static wchar_t directory[32768];
    GetCurrentDirectoryW(32768, directory);
    const std::string record = "commandline=" + toUtf8(GetCommandLineW()) +
                               "\ncwd=" + toUtf8(directory) + "\nmutex=" + mutexState() + "\n";
    HANDLE file =
        CreateFileW(L"stub-game-record.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);

    wchar_t showMs[16] = {};
    if (!GetEnvironmentVariableW(L"STUB_GAME_SHOW_MS", showMs, 16)) return 0;
    CreateWindowExW(0, L"STATIC", L"Game client started",
                    WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE | SS_CENTER, 100, 100, 320, 120,
                    nullptr, nullptr, nullptr, nullptr);
    for (const DWORD end = GetTickCount() + _wtoi(showMs);
         static_cast<LONG>(end - GetTickCount()) > 0;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return 0;
}
