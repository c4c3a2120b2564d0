// Interim: the panel draws nothing and takes no input yet.
#include "game/SettingsPanel.h"

void drawSettingsPanel(Gdiplus::Graphics&, const PaintResources&) {}
void handleSettingsClick(int, int) {}
void handleSettingsMouseMove(int, int) {}
