#include "ui/KeyboardFocus.h"

#include <algorithm>

#include "core/LauncherState.h"
#include "draw/Drawing.h"
#include "game/SettingsPanel.h"
#include "ui/ScreenControls.h"

namespace {

constexpr Gdiplus::ARGB kRingColour = 0xFFFFFFFF;
constexpr float kRingWidth = 2.0f;

struct StopLook {
    const RECT* rect;
    const wchar_t* name;
    // The ring lies this far inside the rectangle (outside where negative):
    // on the main screen it stays within the button, so that the frame cache
    // finds it where it looks for the button's pixels.
    int ringInset;
    int ringCorner;
};

const StopLook kStops[kFocusStopCount] = {
    {&newsButtonRect, L"NEWS", 3, 12},
    {&rankingButtonRect, L"RANKING", 3, 12},
    {&settingsButtonRect, L"SETTINGS", 3, 12},
    {&startButtonRect, L"START GAME", 3, 16},
    {&closeButtonRect, L"X", 3, 8},
    {&resolutionBoxRect, L"Resolution", -3, 8},
    {&windowModeBoxRect, L"Window Mode", -3, 6},
    {&soundBoxRect, L"Sound Effects", -3, 6},
    {&musicBoxRect, L"Background Music", -3, 6},
    {&volumeTrackRect, L"Volume", -4, 8},
    {&saveButtonRect, L"SAVE & ACCEPT", 3, 8},
};

bool validStop(int32_t stop) {
    return stop >= 0 && stop < kFocusStopCount;
}

bool isPanelStop(int32_t stop) {
    return stop >= kFirstPanelStop && stop < kFocusStopCount;
}

// The focused value one step along, kept within its range: the list's next
// row lies below, the louder volume to the right and up (as sliders go).
void stepFocusedValue(int32_t stop, UINT arrow) {
    LauncherState& s = launcherState;
    if (stop == ResolutionStop) {
        const int32_t last = static_cast<int32_t>(s.resolutionNames.size()) - 1;
        const int32_t step = arrow == VK_DOWN || arrow == VK_RIGHT ? 1 : -1;
        s.resolutionIndex = std::clamp(s.resolutionIndex + step, int32_t{0}, last);
    }
    if (stop == VolumeStop) {
        const int32_t step = arrow == VK_UP || arrow == VK_RIGHT ? 1 : -1;
        s.volumeLevel = std::clamp(s.volumeLevel + step, int32_t{0}, int32_t{9});
    }
}

}  // namespace

const RECT& focusStopRect(int32_t stop) {
    return *kStops[stop].rect;
}

const wchar_t* focusStopName(int32_t stop) {
    return kStops[stop].name;
}

// The one place where the design's units become the window's pixels for
// the keyboard and the accessible object.
RECT clientRectFromDesign(const RECT& design) {
    return launcherState.scale.rect(design);
}

int32_t nextFocusStop(int32_t current, bool panelOpen, bool backwards) {
    const int32_t first = panelOpen ? kFirstPanelStop : NewsStop;
    const int32_t last = panelOpen ? SaveStop : CloseStop;
    if (current < first || current > last) return backwards ? last : first;
    if (backwards) return current == first ? last : current - 1;
    return current == last ? first : current + 1;
}

int32_t focusedStop() {
    const LauncherState& s = launcherState;
    const int32_t stored = s.focusedControl;
    if (!validStop(stored)) return NoFocus;
    if (s.settingsOpen && !isPanelStop(stored)) return kFirstPanelStop;
    if (!s.settingsOpen && isPanelStop(stored)) return SettingsStop;
    return stored;
}

bool handleFocusKey(UINT key, bool shift) {
    LauncherState& s = launcherState;
    const int32_t focus = focusedStop();
    switch (key) {
    case VK_TAB:
        s.resolutionListOpen = false;
        s.focusedControl = nextFocusStop(focus, s.settingsOpen, shift);
        break;
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
        stepFocusedValue(focus, key);
        break;
    default:
        return false;
    }
    s.focusRingShown = true;
    requestRepaint();
    return true;
}

// Windows shows focus cues once the keyboard is used and keeps them for the
// window's life; a click does not hide them again. Only the system's own
// word (Alt, or a program changing the state) sets or clears them otherwise.
void updateFocusCues(WPARAM change) {
    if ((HIWORD(change) & UISF_HIDEFOCUS) == 0) return;
    if (LOWORD(change) == UIS_SET) launcherState.focusRingShown = false;
    if (LOWORD(change) == UIS_CLEAR) launcherState.focusRingShown = true;
    requestRepaint();
}

int32_t focusRingStop() {
    return launcherState.focusRingShown ? focusedStop() : NoFocus;
}

void drawFocusRing(Gdiplus::Graphics& graphics, int32_t stop) {
    if (!validStop(stop)) return;
    const StopLook& look = kStops[stop];
    const Scale& scale = launcherState.scale;
    RECT ring = *look.rect;
    InflateRect(&ring, -look.ringInset, -look.ringInset);
    Gdiplus::Pen pen(Gdiplus::Color(kRingColour), scale.size(kRingWidth));
    drawRoundedOutline(graphics, pen, scale.px(look.ringCorner), scale.rect(ring));
}
