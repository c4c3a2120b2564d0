#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "LauncherConfig.h"
#include "UiTestSupport.h"
#include "ui/KeyboardFocus.h"

namespace {

LauncherState& s = launcherState;
using Pages = std::vector<std::wstring>;
const std::wstring home = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/home";
const std::wstring rankings = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/rankings";

}  // namespace

// A move over a point repaints the whole window and lights exactly the
// button under it (`lit`, a bit per button: NEWS 1, RANKING 2, SETTINGS 4,
// START GAME 8, X 16), turning off any other; over the open panel nothing
// lights up and only START GAME and SETTINGS go dark. A press there runs the
// first matching action: close first, then the open panel takes every
// press; then the buttons, each over exactly its rectangle; START GAME only
// after a successful pass. The rest moves the window.
TEST_F(MainScreenTest, MovesAndPressesFindTheRightControl) {
    enum Effect { Drag, Close, OpenSettings, News, Ranking, Start, Panel };
    // clang-format off
    const struct { int x, y; bool panel, finished, succeeded; Effect effect; int lit; } cases[] = {
        {860, 10, 0, 0, 0, Close, 16}, {889, 39, 0, 0, 0, Close, 16}, {890, 20, 0, 0, 0, Drag, 0},
        {870, 20, 1, 0, 0, Close, 19}, {100, 300, 1, 0, 0, Panel, 19},
        {700, 420, 1, 1, 1, Panel, 19}, {20, 20, 1, 0, 0, Panel, 19},
        {80, 400, 0, 0, 0, OpenSettings, 4}, {100, 450, 0, 0, 0, Drag, 0},
        {80, 280, 0, 0, 0, News, 1}, {259, 329, 0, 0, 0, News, 1}, {260, 300, 0, 0, 0, Drag, 0},
        {170, 389, 0, 0, 0, Ranking, 2}, {170, 335, 0, 0, 0, Drag, 0},
        {620, 390, 0, 1, 1, Start, 8}, {859, 459, 0, 1, 1, Start, 8}, {700, 460, 0, 1, 1, Drag, 0},
        {700, 420, 0, 1, 0, Drag, 8}, {700, 420, 0, 0, 1, Drag, 8}, {450, 100, 0, 1, 1, Drag, 0},
        {450, 510, 0, 0, 0, Drag, 0}};
    // clang-format on
    bool* const flags[] = {&s.newsHover, &s.rankingHover, &s.settingsHover, &s.startHover,
                           &s.closeHover};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y);
        resetMainScreenState();
        openedPages.clear();
        s.settingsOpen = c.panel;
        s.updateFinished = c.finished;
        s.updateSucceeded = c.succeeded;
        StandInWindow window;
        ShowWindow(window.handle, SW_SHOWNOACTIVATE);  // a hidden window has no area to invalidate
        s.window = window.handle;
        for (bool* flag : flags) *flag = true;
        handleMouseMove(c.x, c.y);
        RECT dirty{};
        EXPECT_TRUE(GetUpdateRect(window.handle, &dirty, FALSE));
        EXPECT_EQ(std::make_pair(dirty.right - dirty.left, dirty.bottom - dirty.top),
                  std::make_pair(900L, 550L));
        for (int i = 0; i < 5; ++i) EXPECT_EQ(*flags[i], (c.lit >> i & 1) == 1) << "button " << i;

        const PressResult result = handleLeftButtonDown(window.handle, c.x, c.y);
        EXPECT_EQ(result == PressResult::DragWindow, c.effect == Drag);
        EXPECT_EQ(!IsWindow(window.handle), c.effect == Close);
        EXPECT_EQ(s.settingsOpen, c.effect == OpenSettings || c.panel);
        EXPECT_EQ(openedPages, c.effect == News      ? Pages{home}
                               : c.effect == Ranking ? Pages{rankings}
                                                     : Pages{});
    }
}

// Tab walks the open screen's controls in order and Shift+Tab back, each
// round from the last to the first, starting from nothing focused.
TEST_F(MainScreenTest, TabVisitsEachControlOfTheOpenScreenInOrder) {
    const std::vector<int32_t> orders[] = {
        {NewsStop, RankingStop, SettingsStop, StartStop, CloseStop},
        {ResolutionStop, WindowModeStop, SoundStop, MusicStop, VolumeStop, SaveStop}};
    for (bool panel : {false, true}) {
        for (bool back : {false, true}) {
            std::vector<int32_t> want = orders[panel], seen;
            if (back) std::reverse(want.begin(), want.end());
            want.push_back(want.front());
            resetMainScreenState();
            s.settingsOpen = panel;
            for (size_t i = 0; i < want.size(); ++i) {
                handleKeyDown(nullptr, VK_TAB, back);
                seen.push_back(focusedStop());
            }
            EXPECT_EQ(seen, want) << "panel " << panel << ", backwards " << back;
        }
    }
}

// Space and Enter act on the focused control as a press does; the arrows
// step the resolution and the volume within their ranges and nothing else.
// Opening the panel takes the focus to its first control, closing it back
// to SETTINGS.
TEST_F(MainScreenTest, KeysActOnTheFocusedControlAsAPressWould) {
    enum { Pages, Panel, List, Switches, Volume, Resolution, Focus, Gone };
    using State = std::array<int, 8>;
    std::optional<StandInWindow> window;
    const auto state = [&] {
        return State{int(openedPages.size()), s.settingsOpen, s.resolutionListOpen,
                     s.windowMode * 4 + s.soundOn * 2 + s.musicOn, s.volumeLevel,
                     s.resolutionIndex, focusedStop(), !IsWindow(window->handle)};
    };
    // clang-format off
    const struct { int32_t stop; std::vector<UINT> keys; int field, value; } cases[] = {
        {NewsStop, {VK_SPACE}, Pages, 1}, {RankingStop, {VK_RETURN}, Pages, 1},
        {SettingsStop, {VK_SPACE}, Panel, 1}, {StartStop, {VK_SPACE, VK_RETURN, VK_LEFT}, Focus, StartStop},
        {ResolutionStop, {VK_SPACE}, List, 1},
        {ResolutionStop, {VK_RETURN, VK_DOWN, VK_DOWN, VK_RIGHT, VK_UP, VK_SPACE}, Resolution, 7},
        {ResolutionStop, {VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN}, Resolution, 8},
        {ResolutionStop, {VK_UP, VK_LEFT, VK_UP, VK_UP, VK_UP, VK_UP, VK_UP, VK_UP}, Resolution, 0},
        {WindowModeStop, {VK_SPACE, VK_DOWN}, Switches, 3}, {SoundStop, {VK_RETURN}, Switches, 5},
        {MusicStop, {VK_SPACE}, Switches, 6}, {MusicStop, {VK_SPACE, VK_RETURN}, Switches, 7},
        {VolumeStop, {VK_SPACE, VK_RETURN, VK_RIGHT, VK_UP, VK_UP, VK_LEFT}, Volume, 7},
        {VolumeStop, {VK_RIGHT, VK_UP, VK_RIGHT, VK_RIGHT, VK_UP}, Volume, 9},
        {VolumeStop, {VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_LEFT}, Volume, 0},
        {SaveStop, {VK_RETURN}, Panel, 0}, {CloseStop, {VK_RETURN}, Gone, 1}};
    // clang-format on
    for (const auto& c : cases) for (int dpi : {96, 192}) {
        SCOPED_TRACE(::testing::Message()
                     << "stop " << c.stop << ", " << c.keys.size() << " keys at " << dpi);
        resetMainScreenState();
        s.scale = Scale{dpi};  // a key presses where the control is drawn
        openedPages.clear();
        window.emplace();
        s.windowMode = s.soundOn = s.musicOn = true;
        s.volumeLevel = s.resolutionIndex = 5;
        s.settingsOpen = c.stop >= kFirstPanelStop;
        s.focusedControl = c.stop;
        State want = state();
        want[c.field] = c.value;
        if (c.field == Panel) want[Focus] = c.value ? ResolutionStop : SettingsStop;
        for (UINT key : c.keys) handleKeyDown(window->handle, key);
        EXPECT_EQ(state(), want);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Haldor");  // SAVE & ACCEPT wrote it
}
