#include "game/GameLaunch.h"

#include <string>

#include "core/LauncherState.h"
#include "core/SupportLog.h"
#include "core/Process.h"

const wchar_t kGameMutexName[] = L"Dalvo5124";

namespace {

constexpr DWORD kCloseDelayMs = 1500;

}  // namespace

// updateFinished first: a press that falls between the worker's two stores
// is refused like one before the end of the pass.
bool gameStartAllowed() {
    return launcherState.updateFinished && launcherState.updateSucceeded;
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
    // than start whatever a half-read path would name.
    const std::wstring directory = currentDirectory();
    if (directory.empty() || !startProgram(directory + L"\\Main.exe", directory)) {
        logLine("START GAME: Main.exe could not be started (error " +
                std::to_string(GetLastError()) + ")");
        return;
    }
    logLine("START GAME: Main.exe started");
    // Keeps the launcher (and its mutex) up while the client starts; the
    // window does not paint meanwhile.
    Sleep(kCloseDelayMs);
    DestroyWindow(window);
}
