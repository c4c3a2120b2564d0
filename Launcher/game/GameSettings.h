// The game client's five configuration values in the current user's registry.
#pragma once

void loadGameSettings();
void saveGameSettings();
