// The background thread that runs one update pass and reports into the state.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "updater/Updater.h"

DWORD WINAPI UpdateWorker(LPVOID);

// Runs UpdateWorker on a thread of its own; when none can be started the
// pass ends at once as a connection failure.
void startUpdateWorker();

struct Updater;

// The status line for each way a pass ends; a success that replaced the
// launcher says it restarts, where the window does restart it.
const wchar_t* outcomeText(UpdateFailure failure, bool restart = false);

// Logs that status line as the pass's outcome.
void logOutcome(UpdateFailure failure, bool restart);

// The worker's body: one pass on `updater`, then exactly one outcome report,
// whatever the pass throws. UpdateWorker runs it on the configured patch
// server and key with reportProgress.
void runUpdate(const Updater& updater) noexcept;

// The pass on `updater`, logged from the servers to its last file (the
// caller logs the outcome it shows); whatever escapes it counts as a
// connection failure.
UpdateFailure passOutcome(const Updater& updater) noexcept;

// The pass as this launcher was built to run it (its patch servers and key),
// once the old launcher a self-update left is gone.
Updater configuredUpdater(ProgressCallback onProgress);

// The progress report: percentage, then "Downloading: " and the name, then a
// repaint request.
void reportProgress(std::int32_t percent, const std::string& name);
