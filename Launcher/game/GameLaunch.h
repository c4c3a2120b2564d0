// Starting the game client beside the launcher.
#pragma once

#include <windows.h>

#include <string>

// The mutex the game client looks for while it starts.
extern const wchar_t kGameMutexName[];

// START GAME acts only once the update pass has ended, and ended well.
bool gameStartAllowed();

// The process's current directory, read at whatever length it has; empty if
// it cannot be read.
std::wstring currentDirectory();

// Creates the named mutex, starts Main.exe from the current directory and,
// once it runs, closes the launcher window 1.5 s later. Does nothing while
// gameStartAllowed() is false; a failed start leaves the window as it was.
void launchGame(HWND window);
