#include "game/GameLaunch.h"

#include "core/LauncherState.h"

const wchar_t kGameMutexName[] = L"Dalvo5124";

namespace {

constexpr DWORD kCloseDelayMs = 1500;

}  // namespace

// updateFinished first: a press that falls between the worker's two stores
// is refused like one before the end of the pass.
bool gameStartAllowed() {
    return launcherState.updateFinished && launcherState.updateSucceeded;
}

// Sized from what the system asks for, so a game folder deeper than
// MAX_PATH still yields its whole path. The directory may change between
// the two calls (another thread); then the size is asked for again.
std::wstring currentDirectory() {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD needed = GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) return {};
        std::wstring directory(needed, L'\0');
        const DWORD written = GetCurrentDirectoryW(needed, &directory[0]);
        if (written == 0) return {};
        if (written < needed) {
            directory.resize(written);
            return directory;
        }
    }
    return {};
}

void launchGame(HWND window) {
    // The press handler tests the gate too; testing it here keeps any other
    // caller from starting the client before a successful pass.
    if (!gameStartAllowed()) return;

    // Held, never closed, for as long as the launcher lives: the client
    // checks for it while it starts. A failure or an existing mutex does not
    // stop the start, and a repeated press just opens another handle.
    CreateMutexW(nullptr, TRUE, kGameMutexName);

    // Without a directory there is no path to start; refuse quietly rather
    // than start whatever a half-read path would name. A new process cannot
    // be given a working directory of MAX_PATH characters or more (Windows
    // fails such a start; Wine corrupts its heap trying), so such a folder
    // is refused the same way.
    const std::wstring directory = currentDirectory();
    if (directory.empty() || directory.size() >= MAX_PATH) return;
    const std::wstring path = directory + L"\\Main.exe";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No command line: the client gets its own path and no arguments.
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        return;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Keeps the launcher (and its mutex) up while the client starts; the
    // window does not paint meanwhile.
    Sleep(kCloseDelayMs);
    DestroyWindow(window);
}
