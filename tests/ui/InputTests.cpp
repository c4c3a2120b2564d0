#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LauncherConfig.h"
#include "UiTestSupport.h"

namespace {

LauncherState& s = launcherState;
const std::wstring home = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/home";
const std::wstring rankings = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/rankings";

}  // namespace

TEST_F(MainScreenTest, APressRunsTheFirstMatchingActionInOrder) {
    enum Effect { Drag, Close, OpenSettings, News, Ranking, Start, Panel };
    const struct {
        const char* name;
        int x, y;
        bool settingsOpen, finished, succeeded;
        Effect effect;
    } cases[] = {
        {"close, top-left corner", 860, 10, false, false, false, Close},
        {"close, last pixel", 889, 39, false, false, false, Close},
        {"close's right edge", 890, 20, false, false, false, Drag},
        {"close over the open panel", 870, 20, true, false, false, Close},
        {"panel takes a press on NEWS", 100, 300, true, false, false, Panel},
        {"panel takes a press on START GAME", 700, 420, true, true, true, Panel},
        {"panel never drags", 20, 20, true, false, false, Panel},
        {"SETTINGS", 80, 400, false, false, false, OpenSettings},
        {"SETTINGS' bottom edge", 100, 450, false, false, false, Drag},
        {"NEWS", 80, 280, false, false, false, News},
        {"NEWS, last pixel", 259, 329, false, false, false, News},
        {"NEWS' right edge", 260, 300, false, false, false, Drag},
        {"RANKING", 170, 389, false, false, false, Ranking},
        {"gap between NEWS and RANKING", 170, 335, false, false, false, Drag},
        {"START GAME after a successful pass", 620, 390, false, true, true, Start},
        {"START GAME's bottom edge", 700, 460, false, true, true, Drag},
        {"START GAME after a failed pass", 700, 420, false, true, false, Drag},
        {"START GAME while the pass runs", 700, 420, false, false, true, Drag},
        {"background", 450, 100, false, true, true, Drag},
        {"progress bar", 450, 510, false, false, false, Drag},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetMainScreenState();
        openedPages.clear();
        s.settingsOpen = c.settingsOpen;
        s.updateFinished = c.finished;
        s.updateSucceeded = c.succeeded;
        StandInWindow window;
        ASSERT_NE(window.handle, nullptr);
        const PressResult result = handleLeftButtonDown(window.handle, c.x, c.y);
        EXPECT_EQ(result == PressResult::DragWindow, c.effect == Drag);
        EXPECT_EQ(!IsWindow(window.handle), c.effect == Close);
        EXPECT_EQ(s.settingsOpen, c.effect == OpenSettings || c.settingsOpen);
        std::vector<std::wstring> expectedPages;
        if (c.effect == News) expectedPages.push_back(home);
        if (c.effect == Ranking) expectedPages.push_back(rankings);
        EXPECT_EQ(openedPages, expectedPages);
    }
    // Every press opens the page again.
    StandInWindow window;
    resetMainScreenState();
    openedPages.clear();
    for (int y : {300, 300, 350}) handleLeftButtonDown(window.handle, 100, y);
    EXPECT_EQ(openedPages, (std::vector<std::wstring>{home, home, rankings}));
    EXPECT_TRUE(IsWindow(window.handle));
}

TEST_F(MainScreenTest, EveryMoveSetsTheHoverFlagsAndRequestsARepaint) {
    StandInWindow window;
    ASSERT_NE(window.handle, nullptr);
    ShowWindow(window.handle, SW_SHOWNOACTIVATE);  // a hidden window has no area to invalidate
    s.window = window.handle;
    bool* const flags[] = {&s.newsHover, &s.rankingHover, &s.settingsHover, &s.startHover,
                           &s.closeHover};
    // Moves to (x, y): the whole window is to be repainted, and exactly `lit` are set.
    const auto moveTo = [&](int x, int y, std::vector<bool*> lit) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        ValidateRect(window.handle, nullptr);
        RECT dirty{};
        ASSERT_FALSE(GetUpdateRect(window.handle, &dirty, FALSE));
        handleMouseMove(x, y);
        EXPECT_TRUE(GetUpdateRect(window.handle, &dirty, FALSE));
        EXPECT_EQ(dirty.right - dirty.left, 900);
        EXPECT_EQ(dirty.bottom - dirty.top, 550);
        for (bool* flag : flags) EXPECT_EQ(*flag, std::count(lit.begin(), lit.end(), flag) > 0);
    };
    moveTo(80, 280, {&s.newsHover});
    moveTo(259, 329, {&s.newsHover});
    moveTo(259, 329, {&s.newsHover});  // the same spot again still repaints
    moveTo(260, 300, {});
    moveTo(100, 340, {&s.rankingHover});
    moveTo(100, 449, {&s.settingsHover});
    moveTo(620, 459, {&s.startHover});
    moveTo(860, 460, {});
    moveTo(875, 25, {&s.closeHover});
    moveTo(890, 25, {});
    moveTo(450, 100, {});

    // Over the open panel only START GAME and SETTINGS are cleared and nothing
    // lights up; once the panel is gone the flags are right again.
    s.settingsOpen = true;
    for (bool* flag : flags) *flag = true;
    moveTo(450, 100, {&s.newsHover, &s.rankingHover, &s.closeHover});
    for (bool* flag : flags) *flag = false;
    moveTo(875, 25, {});
    s.settingsOpen = false;
    moveTo(100, 300, {&s.newsHover});
}
