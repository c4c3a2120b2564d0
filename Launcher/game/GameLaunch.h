// Starting the game client beside the launcher.
#pragma once

#include <windows.h>

// Creates the named mutex, starts Main.exe from the current directory and,
// once it runs, closes the launcher window 1.5 s later.
void launchGame(HWND window);
