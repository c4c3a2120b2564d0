// The in-window "GAME CONFIGURATION" panel that edits the game settings.
#pragma once

#include "ui/Drawing.h"

// Drawn over the finished main screen while the panel is open.
void drawSettingsPanel(Gdiplus::Graphics& graphics, const PaintResources& resources);
// A press while the panel is open (the close button is tested before).
void handleSettingsClick(int x, int y);
// A pointer move while the panel is open: tracks the open list's row.
void handleSettingsMouseMove(int x, int y);
