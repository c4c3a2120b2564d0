#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>

#include "GameTestSupport.h"
#include "app/Gdiplus.h"
#include "game/SettingsPanel.h"
#include "ui/Drawing.h"
#include "ui/MainScreen.h"

namespace {

// ---- Presses and pointer moves -------------------------------------------

class SettingsPanelInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        deleteGameKeys();
        resetGameState();
        launcherState.settingsOpen = true;
    }
    void TearDown() override {
        deleteGameKeys();
        resetGameState();
    }
};

// Everything a press on the panel may change.
using Snapshot = std::tuple<bool, bool, bool, bool, bool, int32_t, int32_t, int32_t>;

Snapshot snapshot() {
    const LauncherState& s = launcherState;
    return {s.settingsOpen, s.resolutionListOpen,   s.windowMode,  s.soundOn,
            s.musicOn,      s.hoveredResolutionRow, s.volumeLevel, s.resolutionIndex};
}

}  // namespace

TEST_F(SettingsPanelInputTest, EveryRowOfTheOpenListSelectsItsResolutionAndClosesTheList) {
    for (int row = 0; row < 9; ++row) {
        const int top = 180 + 25 * row;
        const POINT corners[] = {{400, top}, {599, top + 24}};
        for (const POINT& p : corners) {
            launcherState.resolutionIndex = row == 3 ? 7 : 3;
            launcherState.resolutionListOpen = true;
            handleSettingsClick(p.x, p.y);
            EXPECT_EQ(launcherState.resolutionIndex, row) << p.x << "," << p.y;
            EXPECT_FALSE(launcherState.resolutionListOpen) << p.x << "," << p.y;
            EXPECT_TRUE(launcherState.settingsOpen);
        }
    }
}

TEST_F(SettingsPanelInputTest, APressOutsideTheOpenListOnlyClosesIt) {
    // Edges of the rows, a visible check box, the volume label, SAVE & ACCEPT
    // below the list and the dimmed area.
    const POINT presses[] = {{399, 200}, {600, 200}, {500, 405}, {255, 235},
                             {255, 275}, {260, 320}, {450, 420}, {20, 20}};
    for (const POINT& p : presses) {
        resetGameState();
        launcherState.settingsOpen = true;
        launcherState.resolutionListOpen = true;
        Snapshot before = snapshot();
        handleSettingsClick(p.x, p.y);
        std::get<1>(before) = false;
        EXPECT_TRUE(snapshot() == before) << p.x << "," << p.y;
    }
    EXPECT_FALSE(gameKeyExists()) << "a press that only closes the list saved";

    // With the list closed again, the same press on SAVE & ACCEPT saves.
    handleSettingsClick(450, 420);
    EXPECT_FALSE(launcherState.settingsOpen);
    EXPECT_TRUE(gameKeyExists());
}

TEST_F(SettingsPanelInputTest, TheResolutionBoxOpensTheListAndNothingElse) {
    struct Case {
        int x, y;
        bool opens;
    };
    const Case cases[] = {{400, 180, true},  {599, 209, true},  {500, 195, true}, {600, 195, false},
                          {399, 195, false}, {500, 210, false}, {500, 179, false}};
    for (const Case& c : cases) {
        resetGameState();
        launcherState.settingsOpen = true;
        handleSettingsClick(c.x, c.y);
        EXPECT_EQ(launcherState.resolutionListOpen, c.opens) << c.x << "," << c.y;
        EXPECT_EQ(launcherState.resolutionIndex, 5);
    }
    // Pressing the same spot again picks the row under it, not the old value.
    handleSettingsClick(500, 185);
    handleSettingsClick(500, 185);
    EXPECT_EQ(launcherState.resolutionIndex, 0);
}

TEST_F(SettingsPanelInputTest, CheckBoxesToggleOverTwentyPixelsButNotOnTheirLabels) {
    struct Box {
        int left, top;
        bool LauncherState::*field;
    };
    const Box boxes[] = {{250, 230, &LauncherState::windowMode},
                         {250, 270, &LauncherState::soundOn},
                         {250, 310, &LauncherState::musicOn}};
    struct Offset {
        int dx, dy;
        bool toggles;
    };
    // 18 and 19 lie outside the drawn box but inside the hit area.
    const Offset offsets[] = {{0, 0, true},   {19, 19, true}, {18, 5, true},  {5, 18, true},
                              {20, 5, false}, {5, 20, false}, {-1, 5, false}, {5, -1, false},
                              {28, 8, false}, {60, 8, false}};
    for (const Box& box : boxes) {
        for (const Offset& o : offsets) {
            resetGameState();
            launcherState.settingsOpen = true;
            const Snapshot before = snapshot();
            handleSettingsClick(box.left + o.dx, box.top + o.dy);
            EXPECT_EQ(launcherState.*box.field, !o.toggles)
                << "box at " << box.top << " offset " << o.dx << "," << o.dy;
            launcherState.*box.field = true;
            EXPECT_TRUE(snapshot() == before) << "only the box's own switch may change";
        }
    }
    // A second press switches it back on.
    handleSettingsClick(255, 275);
    handleSettingsClick(255, 275);
    EXPECT_TRUE(launcherState.soundOn);
}

TEST_F(SettingsPanelInputTest, TheVolumeTrackMapsColumnsToLevelsZeroToEight) {
    struct Case {
        int x, y;
        int32_t level;
    };
    const Case cases[] = {{400, 360, 0}, {422, 360, 0}, {423, 360, 1}, {450, 355, 2},
                          {500, 364, 4}, {578, 360, 8}, {599, 360, 8}};
    for (const Case& c : cases) {
        launcherState.volumeLevel = 9;
        handleSettingsClick(c.x, c.y);
        EXPECT_EQ(launcherState.volumeLevel, c.level) << c.x << "," << c.y;
    }
    const POINT misses[] = {{399, 360}, {600, 360}, {450, 354}, {450, 365}};
    for (const POINT& p : misses) {
        launcherState.volumeLevel = 9;
        handleSettingsClick(p.x, p.y);
        EXPECT_EQ(launcherState.volumeLevel, 9) << p.x << "," << p.y;
    }
}

TEST_F(SettingsPanelInputTest, SaveAndAcceptWritesTheEditsAndClosesThePanel) {
    const POINT hits[] = {{350, 410}, {549, 454}};
    for (const POINT& p : hits) {
        deleteGameKeys();
        launcherState.settingsOpen = true;
        launcherState.volumeLevel = 3;
        handleSettingsClick(p.x, p.y);
        EXPECT_FALSE(launcherState.settingsOpen) << p.x << "," << p.y;
        EXPECT_TRUE(gameKeyExists()) << p.x << "," << p.y;
    }
    const POINT misses[] = {{349, 430}, {550, 430}, {450, 409}, {450, 455}};
    for (const POINT& p : misses) {
        deleteGameKeys();
        launcherState.settingsOpen = true;
        handleSettingsClick(p.x, p.y);
        EXPECT_TRUE(launcherState.settingsOpen) << p.x << "," << p.y;
        EXPECT_FALSE(gameKeyExists()) << p.x << "," << p.y;
    }
}

TEST_F(SettingsPanelInputTest, SaveAndAcceptClosesThePanelEvenWhenTheSaveFails) {
    // A non-volatile key cannot be created under a volatile one.
    HKEY parent = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Haldor", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &parent, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parent);

    launcherState.musicOn = false;
    launcherState.volumeLevel = 2;
    handleSettingsClick(450, 430);
    EXPECT_FALSE(launcherState.settingsOpen);
    ASSERT_FALSE(gameKeyExists()) << "the save was expected to fail here";
    // The edits stay in memory.
    EXPECT_FALSE(launcherState.musicOn);
    EXPECT_EQ(launcherState.volumeLevel, 2);
}

TEST_F(SettingsPanelInputTest, PointerMovesTrackTheListRowOnlyWhileTheListIsOpen) {
    handleSettingsMouseMove(500, 200);
    EXPECT_EQ(launcherState.hoveredResolutionRow, -1) << "the list is closed";

    launcherState.resolutionListOpen = true;
    struct Case {
        int x, y;
        int32_t row;
    };
    const Case cases[] = {{500, 180, 0},  {500, 204, 0},  {500, 205, 1},
                          {400, 380, 8},  {599, 404, 8},  {500, 405, -1},
                          {399, 300, -1}, {600, 300, -1}, {450, 290, 4}};
    for (const Case& c : cases) {
        handleSettingsMouseMove(c.x, c.y);
        EXPECT_EQ(launcherState.hoveredResolutionRow, c.row) << c.x << "," << c.y;
    }

    // Closing the list keeps the row for the next time it opens.
    handleSettingsClick(100, 100);
    EXPECT_FALSE(launcherState.resolutionListOpen);
    EXPECT_EQ(launcherState.hoveredResolutionRow, 4);
    handleSettingsMouseMove(500, 300);
    EXPECT_EQ(launcherState.hoveredResolutionRow, 4);
    EXPECT_EQ(launcherState.resolutionIndex, 5);
}

namespace {

int pagesOpened = 0;
void countPage(const std::wstring&) {
    ++pagesOpened;
}

}  // namespace

// The main window's press handler hands every press but the close button's
// to the panel while it is open.
TEST_F(SettingsPanelInputTest, WhileOpenNoPressDragsOrReachesTheMainScreen) {
    HWND window = CreateWindowExW(0, L"STATIC", L"panel", WS_POPUP, 0, 0, 900, 550, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    const WebPageOpener previous = setWebPageOpener(countPage);
    pagesOpened = 0;
    launcherState.updateFinished = true;
    launcherState.updateSucceeded = true;

    // Background, NEWS, RANKING, SETTINGS, START GAME, the close button's
    // edges, the panel body and the labels.
    const POINT presses[] = {{10, 10},  {100, 300}, {100, 360}, {100, 420}, {700, 420},
                             {890, 20}, {870, 40},  {210, 130}, {300, 195}, {300, 360}};
    for (const POINT& p : presses) {
        const Snapshot before = snapshot();
        EXPECT_EQ(handleLeftButtonDown(window, p.x, p.y), PressResult::Handled)
            << p.x << "," << p.y;
        EXPECT_TRUE(snapshot() == before) << p.x << "," << p.y;
        EXPECT_TRUE(IsWindow(window)) << p.x << "," << p.y;
    }
    EXPECT_EQ(pagesOpened, 0);

    // The close button still closes, and nothing is saved.
    launcherState.volumeLevel = 1;
    EXPECT_EQ(handleLeftButtonDown(window, 870, 20), PressResult::Handled);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(gameKeyExists());
    setWebPageOpener(previous);
}

// ---- Frames ------------------------------------------------------------

namespace {

class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(token_); }

private:
    ULONG_PTR token_ = 0;
};

struct Rgb {
    int r, g, b;
};

Rgb rgb(Gdiplus::ARGB c) {
    return {static_cast<int>((c >> 16) & 0xFF), static_cast<int>((c >> 8) & 0xFF),
            static_cast<int>(c & 0xFF)};
}

bool closeTo(const Rgb& got, const Rgb& want, int tolerance = 4) {
    return std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
           std::abs(got.b - want.b) <= tolerance;
}

std::string show(const Rgb& c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// The main screen stands in as plain blue, so the dim layer's result is
// known: 255 * (255 - 0xD2) / 255 = 45 in blue.
constexpr Gdiplus::ARGB kUnderneath = 0xFF0000FF;

class SettingsPanelFrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { session_ = new GdiplusSession; }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }

    void SetUp() override {
        resetGameState();
        launcherState.settingsOpen = true;
    }
    void TearDown() override { resetGameState(); }

    // Renders one frame of the open panel over the stand-in main screen.
    void render() {
        bitmap_ = std::make_unique<Gdiplus::Bitmap>(900, 550, PixelFormat32bppARGB);
        Gdiplus::Graphics graphics(bitmap_.get());
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        Gdiplus::SolidBrush underneath(kUnderneath);
        graphics.FillRectangle(&underneath, 0, 0, 900, 550);

        // The launcher's own resources, with its fallback for the missing "Segoe UI".
        const PaintResourceSet resources;
        drawSettingsPanel(graphics, resources.get());
    }

    Rgb at(int x, int y) const {
        Gdiplus::Color colour;
        bitmap_->GetPixel(x, y, &colour);
        return rgb(colour.GetValue());
    }

    // Pixels of the rectangle [left, right) x [top, bottom) close to a colour.
    int count(int left, int top, int right, int bottom, const Rgb& colour, int tolerance) const {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                if (closeTo(at(x, y), colour, tolerance)) ++n;
        return n;
    }

    // Pixels on the volume track's middle row that are more fill than track
    // (right of the white volume label).
    int volumeFillWidthDrawn() const {
        int n = 0;
        for (int x = 352; x < 700; ++x) {
            const Rgb c = at(x, 360);
            if (c.g > (0xB4 + 0x32) / 2 && c.r < 0x32) ++n;
        }
        return n;
    }

    static GdiplusSession* session_;
    std::unique_ptr<Gdiplus::Bitmap> bitmap_;
};

GdiplusSession* SettingsPanelFrameTest::session_ = nullptr;

const Rgb kOrange{0xFF, 0x8C, 0x00};
const Rgb kWhite{0xFF, 0xFF, 0xFF};
const Rgb kCheckMark{0x00, 0xBE, 0xFF};
const Rgb kListBackground{0x2D, 0x2D, 0x2D};

// Alpha blend of a colour with the given alpha over an opaque one.
Rgb over(Gdiplus::ARGB top, const Rgb& bottom) {
    const int a = static_cast<int>(top >> 24);
    const Rgb t = rgb(top);
    auto mix = [a](int x, int y) { return (x * a + y * (255 - a) + 127) / 255; };
    return {mix(t.r, bottom.r), mix(t.g, bottom.g), mix(t.b, bottom.b)};
}

}  // namespace

TEST_F(SettingsPanelFrameTest, DimsTheMainScreenAndDrawsTheBodyTitleAndControls) {
    render();
    const Rgb dimmed = over(0xD2000000, rgb(kUnderneath));
    const POINT outside[] = {{5, 5}, {899, 0}, {100, 300}, {800, 500}, {0, 549}};
    for (const POINT& p : outside) {
        EXPECT_TRUE(closeTo(at(p.x, p.y), dimmed, 2))
            << p.x << "," << p.y << " " << show(at(p.x, p.y));
    }

    // Panel body, resolution box, volume track and SAVE & ACCEPT, away from
    // every text and rounded corner.
    struct Spot {
        int x, y;
        Rgb colour;
        const char* what;
    };
    const Spot spots[] = {{215, 460, {0x19, 0x19, 0x19}, "panel body"},
                          {685, 135, {0x19, 0x19, 0x19}, "panel body"},
                          {405, 205, {0x32, 0x32, 0x32}, "resolution box"},
                          {595, 360, {0x32, 0x32, 0x32}, "volume track beyond the fill"},
                          {356, 450, {0x00, 0x96, 0x64}, "SAVE & ACCEPT"}};
    for (const Spot& s : spots) {
        EXPECT_TRUE(closeTo(at(s.x, s.y), s.colour)) << s.what << " " << show(at(s.x, s.y));
    }

    EXPECT_GT(count(200, 140, 700, 180, kOrange, 40), 20) << "title";
    EXPECT_EQ(count(200, 120, 700, 140, kOrange, 40), 0) << "the title sits in its rectangle";
    EXPECT_GT(count(400, 180, 600, 210, kOrange, 40), 10) << "current resolution";
    EXPECT_GT(count(250, 185, 350, 210, kWhite, 30), 10) << "Resolution label";
    EXPECT_GT(count(250, 350, 350, 375, kWhite, 30), 10) << "volume label";
    EXPECT_GT(count(350, 410, 550, 455, kWhite, 30), 20) << "SAVE & ACCEPT text";
}

TEST_F(SettingsPanelFrameTest, TheMainScreenIsDrawnInFullUnderTheDimLayer) {
    struct Spot {
        int x, y;
        Rgb colour;
    };
    // START GAME, the progress track and the close button, off their labels.
    const Spot spots[] = {{740, 450, {0x00, 0xB4, 0x78}},
                          {780, 510, {0x28, 0x28, 0x28}},
                          {864, 36, {0x96, 0x1E, 0x1E}}};
    for (bool open : {false, true}) {
        launcherState.settingsOpen = open;
        bitmap_ = std::make_unique<Gdiplus::Bitmap>(900, 550, PixelFormat32bppARGB);
        {
            Gdiplus::Graphics graphics(bitmap_.get());
            Gdiplus::SolidBrush underneath(kUnderneath);
            graphics.FillRectangle(&underneath, 0, 0, 900, 550);
            drawMainScreenPlain(graphics);
        }
        for (const Spot& s : spots) {
            const Rgb want = open ? over(0xD2000000, s.colour) : s.colour;
            EXPECT_TRUE(closeTo(at(s.x, s.y), want))
                << open << " at " << s.x << "," << s.y << " " << show(at(s.x, s.y));
        }
        // The panel is there exactly while open.
        EXPECT_EQ(closeTo(at(215, 460), {0x19, 0x19, 0x19}), open);
    }
}

TEST_F(SettingsPanelFrameTest, CheckMarksShowExactlyForTheSwitchesThatAreOn) {
    const bool states[][3] = {
        {true, true, true}, {false, true, false}, {true, false, true}, {false, false, false}};
    const int tops[] = {230, 270, 310};
    for (const auto& on : states) {
        launcherState.windowMode = on[0];
        launcherState.soundOn = on[1];
        launcherState.musicOn = on[2];
        render();
        for (int i = 0; i < 3; ++i) {
            const int top = tops[i];
            const int marks = count(251, top + 1, 268, top + 18, kCheckMark, 40);
            if (on[i]) {
                EXPECT_GT(marks, 5) << "box " << i;
            } else {
                EXPECT_EQ(marks, 0) << "box " << i;
            }
            // The box's own fill where the mark never reaches.
            EXPECT_TRUE(closeTo(at(265, top + 15), {0x0A, 0x14, 0x1E}))
                << "box " << i << " " << show(at(265, top + 15));
            EXPECT_GT(count(278, top - 2, 428, top + 23, kWhite, 30), 10) << "label " << i;
        }
    }
}

TEST_F(SettingsPanelFrameTest, VolumeFillFollowsTheLevelAndStaysOnTheTrack) {
    struct Case {
        int32_t level;
        int width;
    };
    const Case cases[] = {{0, 0},    {5, 111}, {8, 177},         {9, 200},
                          {12, 200}, {-3, 0},  {INT32_MAX, 200}, {INT32_MIN, 0}};
    for (const Case& c : cases) {
        launcherState.volumeLevel = c.level;
        render();
        EXPECT_NEAR(volumeFillWidthDrawn(), c.width, 1) << "level " << c.level;
        // Nothing green left of the track or right of it.
        EXPECT_LT(at(395, 360).g, 0x60) << "level " << c.level;
        EXPECT_LT(at(606, 360).g, 0x60) << "level " << c.level;
    }
}

TEST_F(SettingsPanelFrameTest, TheOpenListMarksTheHoveredAndTheSelectedRow) {
    launcherState.resolutionListOpen = true;
    launcherState.hoveredResolutionRow = 2;
    launcherState.resolutionIndex = 6;
    render();
    const Rgb hovered = over(0x64FFFFFF, kListBackground);
    const Rgb selected = over(0x960078D7, kListBackground);
    for (int row = 0; row < 9; ++row) {
        const Rgb want = row == 2 ? hovered : row == 6 ? selected : kListBackground;
        const Rgb got = at(410, 180 + 25 * row + 12);
        EXPECT_TRUE(closeTo(got, want)) << "row " << row << " " << show(got);
        EXPECT_GT(count(400, 180 + 25 * row, 600, 205 + 25 * row, kWhite, 30), 10)
            << "label of row " << row;
    }
    // The list covers the box and the volume slider; the check boxes stay.
    EXPECT_TRUE(closeTo(at(410, 360), kListBackground)) << show(at(410, 360));
    EXPECT_EQ(count(400, 180, 600, 210, kOrange, 40), 0) << "the box's label is covered";
    EXPECT_TRUE(closeTo(at(265, 245), {0x0A, 0x14, 0x1E}));
    // Below the list, SAVE & ACCEPT is still seen.
    EXPECT_TRUE(closeTo(at(405, 450), {0x00, 0x96, 0x64})) << show(at(405, 450));

    // Hovered and selected together: the selection on top of the hover.
    launcherState.hoveredResolutionRow = 6;
    render();
    const Rgb both = over(0x960078D7, hovered);
    EXPECT_TRUE(closeTo(at(410, 180 + 25 * 6 + 12), both)) << show(at(410, 180 + 25 * 6 + 12));
}

TEST_F(SettingsPanelFrameTest, AResolutionOutsideTheListShowsNoLabelAndNoSelectedRow) {
    const int32_t outside[] = {9, -1, 1000};
    for (int32_t index : outside) {
        launcherState.resolutionIndex = index;
        launcherState.resolutionListOpen = false;
        render();
        EXPECT_EQ(count(400, 180, 600, 210, kOrange, 60), 0) << index;

        launcherState.resolutionListOpen = true;
        render();
        for (int row = 0; row < 9; ++row) {
            EXPECT_TRUE(closeTo(at(410, 180 + 25 * row + 12), kListBackground))
                << index << " row " << row;
        }
    }
}
