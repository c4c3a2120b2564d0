#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LauncherConfig.h"
#include "UiTestSupport.h"

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
