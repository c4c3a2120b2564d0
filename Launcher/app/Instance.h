// One launcher per game folder, and the hand-over to a restarted launcher.
#pragma once

#include <windows.h>

#include <string>

// The name of the game folder's named objects: "ZovraLauncher-" and 16 hex
// digits of a hash of the upper-cased full path.
std::wstring instanceName(const std::wstring& gameFolder);

// Called first from the entry point, before any window exists. True: this is
// the folder's one launcher (a launcher restarting into this one is waited
// for, up to 5 s). False: another launcher runs in this folder; its window has
// been brought to the front (unless `bringToFront` is false) and this process
// should exit.
bool claimGameFolder(bool bringToFront = true);

// Gives the game folder up again: a launcher that cannot go on must not keep
// every later one out.
void releaseGameFolder();

// Lets a second launcher started in this folder find the window.
void publishInstanceWindow(HWND window);

// Starts the launcher's file again (its new version: same path, same working
// directory, no arguments) and closes the window. If it cannot be started,
// the files are current all the same: START GAME unlocks instead.
void restartLauncher(HWND window);
