#include "game/GameSettings.h"

#include <windows.h>

#include "core/Handles.h"
#include "core/LauncherState.h"

const wchar_t kGameSettingsKeyPath[] = L"SOFTWARE\\Haldor\\Tarsk\\Config";

namespace {

// Reads one value as a 32-bit number, whatever its registry type. Shorter
// data lands in the low bytes of a zeroed buffer (little-endian, unsigned
// widening) instead of leaving stale bytes; longer data fails the query, and
// the caller keeps its field.
bool queryNumber(HKEY key, const wchar_t* name, uint32_t& number) {
    BYTE data[sizeof(uint32_t)] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, nullptr, data, &size) != ERROR_SUCCESS) return false;
    number = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    return true;
}

void loadSwitch(HKEY key, const wchar_t* name, bool& field) {
    uint32_t number = 0;
    if (queryNumber(key, name, number)) field = switchFromStored(number);
}

void loadNumber(HKEY key, const wchar_t* name, int32_t& field) {
    uint32_t number = 0;
    if (queryNumber(key, name, number)) field = static_cast<int32_t>(number);
}

void storeNumber(HKEY key, const wchar_t* name, uint32_t number) {
    const BYTE data[sizeof(uint32_t)] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                                         static_cast<BYTE>(number >> 16),
                                         static_cast<BYTE>(number >> 24)};
    // A failed write does not stop the others; there is no one to tell.
    RegSetValueExW(key, name, 0, REG_DWORD, data, sizeof data);
}

}  // namespace

// Values that cannot be read keep what the fields hold (the start values).
// Out-of-scale numbers are kept as they are so that a save without an edit
// writes them back unchanged; the panel guards its own drawing.
void loadGameSettings() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    LauncherState& s = launcherState;
    loadSwitch(key.get(), L"WindowMode", s.windowMode);
    loadSwitch(key.get(), L"SoundOnOFF", s.soundOn);
    loadSwitch(key.get(), L"MusicOnOFF", s.musicOn);
    loadNumber(key.get(), L"VolumeLevel", s.volumeLevel);
    loadNumber(key.get(), L"Resolution", s.resolutionIndex);
}

// All five are written every time, changed or not; other values under the
// key are left alone.
void saveGameSettings() {
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const LauncherState& s = launcherState;
    storeNumber(key.get(), L"WindowMode", switchToStored(s.windowMode));
    storeNumber(key.get(), L"SoundOnOFF", switchToStored(s.soundOn));
    storeNumber(key.get(), L"MusicOnOFF", switchToStored(s.musicOn));
    storeNumber(key.get(), L"VolumeLevel", static_cast<uint32_t>(s.volumeLevel));
    storeNumber(key.get(), L"Resolution", static_cast<uint32_t>(s.resolutionIndex));
}
