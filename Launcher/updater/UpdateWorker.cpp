// Interim: reports a failed pass until the updater is in.
#include "updater/UpdateWorker.h"

#include "app/LauncherState.h"

DWORD WINAPI UpdateWorker(LPVOID) {
    launcherState.updateFinished = true;
    launcherState.updateSucceeded = false;
    launcherState.titleLine.set(L"Update failed.");
    launcherState.statusDetail.set(L"Error: Check your connection.");
    requestRepaint();
    return 0;
}
