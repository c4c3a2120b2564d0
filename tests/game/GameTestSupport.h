// Shared helpers of the game subsystem's tests.
#pragma once

#include <windows.h>

#include <string>

#include "app/LauncherState.h"
#include "game/GameSettings.h"

// Puts the panel and settings fields back to their start values.
inline void resetGameState() {
    LauncherState& s = launcherState;
    s.settingsOpen = false;
    s.resolutionListOpen = false;
    s.hoveredResolutionRow = -1;
    s.windowMode = true;
    s.soundOn = true;
    s.musicOn = true;
    s.volumeLevel = 5;
    s.resolutionIndex = 5;
    s.updateFinished = false;
    s.updateSucceeded = false;
}

// The tests own HKCU\SOFTWARE\Haldor in their private Wine prefix.
inline void deleteGameKeys() {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Haldor");
}

inline bool gameKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}
