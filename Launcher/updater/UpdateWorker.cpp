#include "updater/UpdateWorker.h"

#include <exception>

#include "LauncherConfig.h"
#include "core/LauncherState.h"
#include "core/Process.h"
#include "core/SupportLog.h"
#include "updater/Manifest.h"
#include "updater/SelfUpdate.h"
#include "updater/Updater.h"

namespace {

// Flags first, finished before succeeded, so the window never sees success
// without the end of the pass; then the texts; the repaint last. A launcher
// about to restart keeps START GAME locked: the new one takes over.
void reportOutcome(UpdateFailure failure, bool restart) noexcept {
    const bool completed = failure == UpdateFailure::None || failure == UpdateFailure::Offline;
    launcherState.updateFailed = !completed;
    launcherState.updateFinished = true;
    launcherState.updateSucceeded = completed && !(restart && failure == UpdateFailure::None);
    try {
        launcherState.titleLine.set(completed ? L"Update completed successfully."
                                              : L"Update failed.");
        launcherState.statusDetail.set(outcomeText(failure, restart));
    } catch (const std::exception&) {
        // Out of memory for a short text: the flags already tell the outcome.
    }
    requestRepaint();
    if (restart && failure == UpdateFailure::None) requestRestart();
}

}  // namespace

void reportProgress(std::int32_t percent, const std::string& name) {
    launcherState.progressPercent = percent;
    launcherState.statusDetail.set(L"Downloading: " + widenForDisplay(name));
    requestRepaint();
}

const wchar_t* outcomeText(UpdateFailure failure, bool restart) {
    switch (failure) {
    case UpdateFailure::None:
        return restart ? L"Restarting the launcher..." : L"All files are up to date!";
    case UpdateFailure::Offline:
        // The fallback let the game start, but nothing was compared.
        return L"Offline: game files were not checked.";
    case UpdateFailure::DamagedData:
        return L"Error: Update files are damaged on the server.";
    case UpdateFailure::FileInUse:
        return L"Error: A game file is in use or read-only.";
    case UpdateFailure::DiskSpace:
        return L"Error: Not enough disk space.";
    case UpdateFailure::Unverified:
        return L"Error: The update could not be verified.";
    case UpdateFailure::Network:
        break;
    }
    return L"Error: Check your connection.";
}

UpdateFailure passOutcome(const Updater& updater) noexcept {
    // Whatever escapes the pass counts as a failure, so that the one outcome
    // report is always made and START GAME is never left waiting.
    UpdateFailure failure = UpdateFailure::Network;
    try {
        const auto address = [](bool tls, const std::string& host, const std::string& path) {
            return (tls ? "https://" : "http://") + host + path;
        };
        std::string servers = address(updater.secure, updater.host, updater.basePath);
        for (const PatchMirror& mirror : updater.mirrors)
            servers += ", mirror " + address(mirror.secure, mirror.host, mirror.basePath);
        logLine("patch server " + servers + "; manifests " +
                (updater.trust.publicKey.empty() ? "taken unsigned (no key built in)"
                                                 : "verified against the built-in key"));
        failure = updater.runPass();
    } catch (...) {
        failure = UpdateFailure::Network;
    }
    return failure;
}

void logOutcome(UpdateFailure failure, bool restart) {
    logLine("outcome: " + asciiText(outcomeText(failure, restart)));
}

void runUpdate(const Updater& updater) noexcept {
    // Asked only once the pass is over (not as a second argument beside it).
    const UpdateFailure failure = passOutcome(updater);
    const bool restart = launcherReplaced();
    logOutcome(failure, restart);
    reportOutcome(failure, restart);
}

Updater configuredUpdater(ProgressCallback onProgress) {
    // Before the pass, which may have to rename the launcher aside again.
    removeOldLauncher(runningModulePath());
    return Updater{LAUNCHER_PATCH_AUTHORITY, LAUNCHER_PATCH_BASE_PATH, LAUNCHER_PATCH_SECURE != 0,
                   std::move(onProgress), {}, {}, builtInTrust(), {LAUNCHER_PATCH_MIRRORS},
                   {}, launcherState.verifyAll};
}

void startUpdateWorker() {
    if (HANDLE worker = CreateThread(nullptr, 0, UpdateWorker, nullptr, 0, nullptr)) {
        CloseHandle(worker);
        return;
    }
    // No pass can run: it ends here, instead of "Checking for updates..."
    // for ever with START GAME locked.
    logLine("update: no thread could be started (error " + std::to_string(GetLastError()) + ")");
    reportOutcome(UpdateFailure::Network, false);
}

DWORD WINAPI UpdateWorker(LPVOID) {
    try {
        runUpdate(configuredUpdater(reportProgress));
    } catch (...) {
        // Only building the Updater can get here (out of memory).
        reportOutcome(UpdateFailure::Network, false);
    }
    return 0;
}
