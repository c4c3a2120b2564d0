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

// Close first, then the open panel takes every press; then the buttons, each
// over exactly its rectangle; START GAME only after a successful pass. The
// rest moves the window.
TEST_F(MainScreenTest, APressRunsTheFirstMatchingActionInOrder) {
    enum Effect { Drag, Close, OpenSettings, News, Ranking, Start, Panel };
    // clang-format off
    const struct { int x, y; bool settingsOpen, finished, succeeded; Effect effect; } cases[] = {
        {860, 10, 0, 0, 0, Close}, {889, 39, 0, 0, 0, Close}, {890, 20, 0, 0, 0, Drag},
        {870, 20, 1, 0, 0, Close}, {100, 300, 1, 0, 0, Panel}, {700, 420, 1, 1, 1, Panel},
        {20, 20, 1, 0, 0, Panel}, {80, 400, 0, 0, 0, OpenSettings}, {100, 450, 0, 0, 0, Drag},
        {80, 280, 0, 0, 0, News}, {259, 329, 0, 0, 0, News}, {260, 300, 0, 0, 0, Drag},
        {170, 389, 0, 0, 0, Ranking}, {170, 335, 0, 0, 0, Drag}, {620, 390, 0, 1, 1, Start},
        {700, 460, 0, 1, 1, Drag}, {700, 420, 0, 1, 0, Drag}, {700, 420, 0, 0, 1, Drag},
        {450, 100, 0, 1, 1, Drag}, {450, 510, 0, 0, 0, Drag}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y);
        resetMainScreenState();
        openedPages.clear();
        s.settingsOpen = c.settingsOpen;
        s.updateFinished = c.finished;
        s.updateSucceeded = c.succeeded;
        StandInWindow window;
        const PressResult result = handleLeftButtonDown(window.handle, c.x, c.y);
        EXPECT_EQ(result == PressResult::DragWindow, c.effect == Drag);
        EXPECT_EQ(!IsWindow(window.handle), c.effect == Close);
        EXPECT_EQ(s.settingsOpen, c.effect == OpenSettings || c.settingsOpen);
        EXPECT_EQ(openedPages, c.effect == News      ? Pages{home}
                               : c.effect == Ranking ? Pages{rankings}
                                                     : Pages{});
    }
}

TEST_F(MainScreenTest, EveryMoveSetsTheHoverFlagsAndRequestsARepaint) {
    StandInWindow window;
    ShowWindow(window.handle, SW_SHOWNOACTIVATE);  // a hidden window has no area to invalidate
    s.window = window.handle;
    bool* const flags[] = {&s.newsHover, &s.rankingHover, &s.settingsHover, &s.startHover,
                           &s.closeHover};
    // Moves to (x, y): the whole window is to be repainted, and exactly the
    // flags whose bits are in `lit` are set.
    const auto moveTo = [&](int x, int y, int lit) {
        ValidateRect(window.handle, nullptr);
        handleMouseMove(x, y);
        RECT dirty{};
        EXPECT_TRUE(GetUpdateRect(window.handle, &dirty, FALSE)) << x << "," << y;
        EXPECT_EQ(std::make_pair(dirty.right - dirty.left, dirty.bottom - dirty.top),
                  std::make_pair(900L, 550L));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(*flags[i], (lit >> i & 1) == 1) << x << "," << y << ": " << i;
    };
    // The same spot twice still repaints.
    const int moves[][3] = {{80, 280, 1},  {259, 329, 1}, {259, 329, 1}, {260, 300, 0},
                            {100, 340, 2}, {100, 449, 4}, {620, 459, 8}, {860, 460, 0},
                            {875, 25, 16}, {890, 25, 0},  {450, 100, 0}};
    for (const auto& m : moves) moveTo(m[0], m[1], m[2]);
    // Over the open panel only START GAME and SETTINGS are cleared and nothing
    // lights up; once the panel is gone the flags are right again.
    s.settingsOpen = true;
    for (bool* flag : flags) *flag = true;
    moveTo(450, 100, 1 | 2 | 16);
    for (bool* flag : flags) *flag = false;
    moveTo(875, 25, 0);
    s.settingsOpen = false;
    moveTo(100, 300, 1);
}
