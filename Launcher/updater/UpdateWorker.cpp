#include "updater/UpdateWorker.h"

#include <exception>

#include "LauncherConfig.h"
#include "app/LauncherState.h"
#include "updater/Manifest.h"
#include "updater/Updater.h"

namespace {

// Flags first, finished before succeeded, so the window never sees success
// without the end of the pass; then the texts; the repaint last.
void reportOutcome(bool succeeded, PassFailure failure) noexcept {
    launcherState.updateFinished = true;
    launcherState.updateSucceeded = succeeded;
    try {
        launcherState.titleLine.set(succeeded ? L"Update completed successfully."
                                              : L"Update failed.");
        launcherState.statusDetail.set(succeeded ? L"All files are up to date!"
                                       : failure == PassFailure::Unverified
                                           ? L"Error: The update could not be verified."
                                           : L"Error: Check your connection.");
    } catch (const std::exception&) {
        // Out of memory for a short text: the flags already tell the outcome.
    }
    requestRepaint();
}

}  // namespace

void reportProgress(std::int32_t percent, const std::string& name) {
    launcherState.progressPercent = percent;
    launcherState.statusDetail.set(L"Downloading: " + widenForDisplay(name));
    requestRepaint();
}

void runUpdate(const Updater& updater) noexcept {
    bool succeeded = false;
    PassFailure failure = PassFailure::Connection;
    // Whatever escapes the pass counts as a failure, so that the one outcome
    // report is always made and START GAME is never left waiting.
    try {
        succeeded = updater.runPass(&failure);
    } catch (...) {
        succeeded = false;
    }
    reportOutcome(succeeded, failure);
}

DWORD WINAPI UpdateWorker(LPVOID) {
    try {
        const Updater updater{LAUNCHER_PATCH_AUTHORITY, LAUNCHER_PATCH_BASE_PATH,
                              LAUNCHER_PATCH_SECURE != 0, reportProgress};
        runUpdate(updater);
    } catch (...) {
        // Only building the Updater can get here (out of memory).
        reportOutcome(false, PassFailure::Connection);
    }
    return 0;
}
