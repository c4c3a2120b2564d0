// Interim: the start values stand until the registry store is in.
#include "game/GameSettings.h"

void loadGameSettings() {}
void saveGameSettings() {}
