#include "updater/UpdateWorker.h"

#include <exception>

#include "LauncherConfig.h"
#include "core/LauncherState.h"
#include "core/Process.h"
#include "updater/Manifest.h"
#include "updater/SelfUpdate.h"
#include "updater/Updater.h"

namespace {

// Flags first, finished before succeeded, so the window never sees success
// without the end of the pass; then the texts; the repaint last. A launcher
// about to restart keeps START GAME locked: the new one takes over.
void reportOutcome(PassEnd end) noexcept {
    const bool succeeded = end == PassEnd::UpToDate || end == PassEnd::Offline;
    launcherState.updateFinished = true;
    launcherState.updateSucceeded = succeeded;
    try {
        launcherState.titleLine.set(end != PassEnd::Failed ? L"Update completed successfully."
                                                           : L"Update failed.");
        launcherState.statusDetail.set(outcomeText(end));
    } catch (const std::exception&) {
        // Out of memory for a short text: the flags already tell the outcome.
    }
    requestRepaint();
    if (end == PassEnd::Restart) requestRestart();
}

}  // namespace

void reportProgress(std::int32_t percent, const std::string& name) {
    launcherState.progressPercent = percent;
    launcherState.statusDetail.set(L"Downloading: " + widenForDisplay(name));
    requestRepaint();
}

const wchar_t* outcomeText(PassEnd end) {
    switch (end) {
    case PassEnd::UpToDate:
        return L"All files are up to date!";
    case PassEnd::Offline:
        // The fallback let the game start, but nothing was compared.
        return L"Offline: game files were not checked.";
    case PassEnd::Restart:
        return L"Restarting the launcher...";
    case PassEnd::Failed:
        break;
    }
    return L"Error: Check your connection.";
}

void runUpdate(const Updater& updater) noexcept {
    bool succeeded = false;
    bool offline = false;
    // Whatever escapes the pass counts as a failure, so that the one outcome
    // report is always made and START GAME is never left waiting.
    try {
        succeeded = updater.runPass(&offline);
    } catch (...) {
        succeeded = false;
    }
    reportOutcome(!succeeded           ? PassEnd::Failed
                  : offline            ? PassEnd::Offline
                  : launcherReplaced() ? PassEnd::Restart
                                       : PassEnd::UpToDate);
}

DWORD WINAPI UpdateWorker(LPVOID) {
    try {
        // Before the pass, which may have to rename the launcher aside again.
        removeOldLauncher(runningModulePath());
        const Updater updater{LAUNCHER_PATCH_HOST, "/patch/", false, reportProgress};
        runUpdate(updater);
    } catch (...) {
        // Only building the Updater can get here (out of memory).
        reportOutcome(PassEnd::Failed);
    }
    return 0;
}
