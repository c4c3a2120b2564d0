// Interim: starts nothing yet.
#include "game/GameLaunch.h"

void launchGame(HWND) {}
