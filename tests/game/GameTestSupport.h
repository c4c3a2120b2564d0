// Shared helpers of the game subsystem's tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include "core/LauncherState.h"
#include "game/GameSettings.h"

inline bool gameKeyExists() {
    HKEY key = nullptr;
    const bool exists =
        RegOpenKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) RegCloseKey(key);
    return exists;
}

// Each test starts and ends with the start values of the panel, settings and
// update-gate fields, and without HKCU\SOFTWARE\Haldor (the tests own it in
// their private Wine prefix).
class GameStateTest : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    static void clean() {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Haldor");
        resetGameState();
    }
    static void resetGameState() {
        LauncherState& s = launcherState;
        s.settingsOpen = s.resolutionListOpen = false;
        s.hoveredResolutionRow = s.focusedControl = -1;
        s.windowMode = s.soundOn = s.musicOn = true;
        s.volumeLevel = s.resolutionIndex = 5;
        s.updateFinished = s.updateSucceeded = false;
    }
};
