#include <windows.h>

#include <cstdio>

#include "app/Application.h"
#include "app/Instance.h"
#include "updater/SelfUpdate.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // Before anything else: a second launcher in this game folder would run a
    // second pass over the same files.
    if (!claimGameFolder()) ExitProcess(0);
    const int exitCode = runLauncher(instance, showCommand);
    // The update worker is never joined. Ending the process here stops it
    // before static destructors could release the state it still writes;
    // but not between the two moves that replace the launcher's own file.
    finishSelfUpdate(5000);
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}
