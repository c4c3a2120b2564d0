#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LauncherConfig.h"
#include "UiTestSupport.h"
#include "ui/MainScreen.h"

namespace {

std::vector<std::wstring> openedPages;
void recordPage(const std::wstring& address) {
    openedPages.push_back(address);
}

// A hidden window that stands in for the launcher's: presses may destroy it
// and repaint requests invalidate it.
HWND makeStandInWindow() {
    return CreateWindowExW(0, L"STATIC", L"stand-in", WS_POPUP, 0, 0, 900, 550, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

class MainScreenInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMainScreenState();
        openedPages.clear();
        previousOpener_ = setWebPageOpener(recordPage);
    }
    void TearDown() override {
        setWebPageOpener(previousOpener_);
        resetMainScreenState();
    }

private:
    WebPageOpener previousOpener_ = nullptr;
};

const std::wstring home = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/home";
const std::wstring rankings = std::wstring(LAUNCHER_WEB_BASE_URL) + L"/rankings";

}  // namespace

TEST_F(MainScreenInputTest, APressRunsTheFirstMatchingActionInOrder) {
    enum Effect { Drag, Close, OpenSettings, News, Ranking, Start, Panel };
    struct Case {
        const char* name;
        int x, y;
        bool settingsOpen, finished, succeeded;
        Effect effect;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetMainScreenState();
        openedPages.clear();
        launcherState.settingsOpen = c.settingsOpen;
        launcherState.updateFinished = c.finished;
        launcherState.updateSucceeded = c.succeeded;
        HWND window = makeStandInWindow();
        ASSERT_NE(window, nullptr);

        const PressResult result = handleLeftButtonDown(window, c.x, c.y);

        EXPECT_EQ(result == PressResult::DragWindow, c.effect == Drag);
        EXPECT_EQ(!IsWindow(window), c.effect == Close);
        EXPECT_EQ(launcherState.settingsOpen, c.effect == OpenSettings || c.settingsOpen);
        std::vector<std::wstring> expectedPages;
        if (c.effect == News) expectedPages.push_back(home);
        if (c.effect == Ranking) expectedPages.push_back(rankings);
        EXPECT_EQ(openedPages, expectedPages);
        if (IsWindow(window)) DestroyWindow(window);
    }
}

TEST_F(MainScreenInputTest, EveryPressOnNewsOrRankingOpensThePageAgain) {
    HWND window = makeStandInWindow();
    handleLeftButtonDown(window, 100, 300);
    handleLeftButtonDown(window, 100, 300);
    handleLeftButtonDown(window, 100, 350);
    EXPECT_EQ(openedPages, (std::vector<std::wstring>{home, home, rankings}));
    EXPECT_TRUE(IsWindow(window));
    DestroyWindow(window);
}

TEST_F(MainScreenInputTest, HoverFlagsFollowThePointerOnTheMainScreen) {
    struct Case {
        int x, y;
        bool news, ranking, settings, start, close;
    };
    const Case cases[] = {
        {80, 280, true, false, false, false, false},
        {259, 329, true, false, false, false, false},
        {260, 300, false, false, false, false, false},
        {100, 340, false, true, false, false, false},
        {100, 449, false, false, true, false, false},
        {620, 459, false, false, false, true, false},
        {860, 460, false, false, false, false, false},
        {875, 25, false, false, false, false, true},
        {890, 25, false, false, false, false, false},
        {450, 100, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        handleMouseMove(c.x, c.y);
        EXPECT_EQ(launcherState.newsHover, c.news);
        EXPECT_EQ(launcherState.rankingHover, c.ranking);
        EXPECT_EQ(launcherState.settingsHover, c.settings);
        EXPECT_EQ(launcherState.startHover, c.start);
        EXPECT_EQ(launcherState.closeHover, c.close);
    }
}

TEST_F(MainScreenInputTest, OverTheOpenPanelOnlyStartAndSettingsHoverAreCleared) {
    launcherState.settingsOpen = true;
    launcherState.newsHover = launcherState.rankingHover = launcherState.closeHover = true;
    launcherState.settingsHover = launcherState.startHover = true;
    handleMouseMove(450, 100);  // far from NEWS, RANKING and the close button
    EXPECT_TRUE(launcherState.newsHover);
    EXPECT_TRUE(launcherState.rankingHover);
    EXPECT_TRUE(launcherState.closeHover);
    EXPECT_FALSE(launcherState.settingsHover);
    EXPECT_FALSE(launcherState.startHover);

    handleMouseMove(875, 25);  // the close button does not light up over the panel
    EXPECT_FALSE(launcherState.startHover);
    launcherState.closeHover = false;
    handleMouseMove(875, 25);
    EXPECT_FALSE(launcherState.closeHover);

    launcherState.settingsOpen = false;  // once the panel is gone the flags are right again
    handleMouseMove(100, 300);
    EXPECT_TRUE(launcherState.newsHover);
    EXPECT_FALSE(launcherState.rankingHover);
    EXPECT_FALSE(launcherState.closeHover);
}

TEST_F(MainScreenInputTest, EveryPointerMoveRequestsARepaint) {
    HWND window = makeStandInWindow();
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);  // a hidden window has no area to invalidate
    launcherState.window = window;
    struct Case {
        bool settingsOpen;
        int x, y;
    };
    // The same spot twice: the second move changes nothing and still repaints.
    const Case cases[] = {{false, 100, 300},
                          {false, 100, 300},
                          {false, 450, 100},
                          {true, 450, 100},
                          {true, 450, 100}};
    for (const Case& c : cases) {
        launcherState.settingsOpen = c.settingsOpen;
        ValidateRect(window, nullptr);
        RECT dirty{};
        ASSERT_FALSE(GetUpdateRect(window, &dirty, FALSE));
        handleMouseMove(c.x, c.y);
        EXPECT_TRUE(GetUpdateRect(window, &dirty, FALSE)) << c.x << "," << c.y;
        EXPECT_EQ(dirty.right - dirty.left, 900);
        EXPECT_EQ(dirty.bottom - dirty.top, 550);
    }
    launcherState.window = nullptr;
    DestroyWindow(window);
}
