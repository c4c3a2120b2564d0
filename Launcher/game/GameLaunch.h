// Starting the game client beside the launcher.
#pragma once

#include <windows.h>

// The mutex the game client looks for while it starts.
extern const wchar_t kGameMutexName[];

// START GAME acts only once the update pass has ended, and ended well.
bool gameStartAllowed();

// Creates the named mutex, starts Main.exe from the current directory and,
// once it runs, closes the launcher window 1.5 s later. Does nothing while
// gameStartAllowed() is false; a failed start leaves the window as it was.
void launchGame(HWND window);
