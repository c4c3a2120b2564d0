#include <windows.h>

#include <cstdio>

#include "app/Application.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    const int exitCode = runLauncher(instance, showCommand);
    // The update worker is never joined. Ending the process here stops it
    // before static destructors could release the state it still writes.
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}
