// The background thread that runs one update pass and reports into the state.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

DWORD WINAPI UpdateWorker(LPVOID);

struct Updater;

// How a pass ended, as the window shows it.
enum class PassEnd {
    Failed,
    UpToDate,
    Offline,  // no server answered; Main.exe is present, so the game may start
    Restart,  // the launcher's own file was replaced: the new one takes over
};

// The status line for each end.
const wchar_t* outcomeText(PassEnd end);

// The worker's body: one pass on `updater`, then exactly one outcome report,
// whatever the pass throws. UpdateWorker runs it on the patch server's
// address and "/patch/" with reportProgress.
void runUpdate(const Updater& updater) noexcept;

// The progress report: percentage, then "Downloading: " and the name, then a
// repaint request.
void reportProgress(std::int32_t percent, const std::string& name);
