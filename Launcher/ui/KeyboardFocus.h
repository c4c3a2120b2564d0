// The control the keyboard acts on, how Tab moves it, and the ring that
// shows it to keyboard users only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/Gdiplus.h"

// Every control a key can reach: the main screen's buttons in Tab order (and
// in kButtons' order), then the settings panel's controls in Tab order.
enum FocusStop : int32_t {
    NoFocus = -1,
    NewsStop,
    RankingStop,
    SettingsStop,
    StartStop,
    CloseStop,
    ResolutionStop,
    WindowModeStop,
    SoundStop,
    MusicStop,
    VolumeStop,
    SaveStop,
    kFocusStopCount
};
constexpr int32_t kFirstPanelStop = ResolutionStop;

// Hit rectangle in design units (96 DPI) and the text the control shows.
const RECT& focusStopRect(int32_t stop);
const wchar_t* focusStopName(int32_t stop);

// Where a rectangle of the design lies in the window's client area, in pixels.
RECT clientRectFromDesign(const RECT& design);

// The stop Tab (or Shift+Tab) moves to from `current` among the open
// screen's stops, round from the last to the first; from a stop of the other
// screen, or none, to the first (last).
int32_t nextFocusStop(int32_t current, bool panelOpen, bool backwards);
// The stop the keys act on: the one stored, moved along when the panel
// opened or closed beneath it (to its first control, back to SETTINGS).
int32_t focusedStop();

// Tab and Shift+Tab move the focus, the arrows step the focused list or
// volume; each shows the ring. False for any other key.
bool handleFocusKey(UINT key, bool shift);
// WM_UPDATEUISTATE: the system shows or hides focus cues.
void updateFocusCues(WPARAM change);

// The stop whose ring the frame shows, or NoFocus: none until a key has
// moved the focus.
int32_t focusRingStop();
void drawFocusRing(Gdiplus::Graphics& graphics, int32_t stop);
