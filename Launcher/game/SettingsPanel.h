// The in-window "GAME CONFIGURATION" panel that edits the game settings.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "draw/Drawing.h"
#include "draw/Geometry.h"

// The panel itself.
constexpr RECT settingsPanelRect{200, 120, 700, 480};

// Hit rectangles, right and bottom exclusive.
constexpr RECT resolutionBoxRect{400, 180, 600, 210};
constexpr RECT windowModeBoxRect{250, 230, 270, 250};
constexpr RECT soundBoxRect{250, 270, 270, 290};
constexpr RECT musicBoxRect{250, 310, 270, 330};
constexpr RECT volumeTrackRect{400, 355, 600, 365};
constexpr RECT saveButtonRect{350, 410, 550, 455};

constexpr int kResolutionRowHeight = 25;
constexpr int kVolumeTrackWidth = rectWidth(volumeTrackRect);

// Drawn over the finished main screen while the panel is open.
void drawSettingsPanel(Gdiplus::Graphics& graphics, const PaintResources& resources);
// An 18 x 18 box with its label to the right; the mark only when checked.
void drawCheckBox(Gdiplus::Graphics& graphics, const PaintResources& resources, int x, int y,
                  bool checked, const wchar_t* label);
// SETTINGS: opens the panel, noting the values it shows.
void openSettingsPanel();
// A press while the panel is open (the close button is tested before).
void handleSettingsClick(int x, int y);
// Esc while the panel is open: closes the open list, or else closes the
// panel with the values it opened with, saving nothing.
void handleSettingsEscape();
// A pointer move while the panel is open: tracks the open list's row.
void handleSettingsMouseMove(int x, int y);

// The pure pieces of the panel.
// Row of the resolution list under the point, or -1.
int32_t resolutionRowAt(int x, int y);
// The level a press at column x of the volume track selects (0 to 8).
int32_t volumeLevelAt(int x);
// Width in pixels of the volume fill, kept on the track whatever the level.
int volumeFillWidth(int32_t level);
// The label for a resolution index, or null for an index outside the list.
const std::wstring* resolutionLabel(int32_t index);
