// The game client's five configuration values in the current user's registry.
#pragma once

#include <cstdint>

// Key under HKEY_CURRENT_USER that the game client reads its settings from.
extern const wchar_t kGameSettingsKeyPath[];

void loadGameSettings();
void saveGameSettings();

// The registry's encoding of the three switches: only 1 means on.
inline bool switchFromStored(uint32_t stored) {
    return stored == 1;
}
inline uint32_t switchToStored(bool on) {
    return on ? 1u : 0u;
}
