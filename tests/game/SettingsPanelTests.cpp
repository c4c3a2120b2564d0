#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "GameTestSupport.h"
#include "core/Gdiplus.h"
#include "game/SettingsPanel.h"
#include "draw/Drawing.h"
#include "ui/MainScreen.h"

namespace {

// Everything a press on the panel may change, by index.
enum Field { Open, ListOpen, WindowMode, Sound, Music, Hovered, Volume, Resolution, Nothing };
using Snapshot = std::array<int32_t, 8>;

Snapshot snapshot() {
    const LauncherState& s = launcherState;
    return {s.settingsOpen, s.resolutionListOpen,   s.windowMode,  s.soundOn,
            s.musicOn,      s.hoveredResolutionRow, s.volumeLevel, s.resolutionIndex};
}

// A press at (x, y) that sets `field` to `value` and nothing else.
struct Press {
    int x, y;
    Field field = Nothing;
    int32_t value = 0;
};

class SettingsPanelInputTest : public GameStateTest {
protected:
    void SetUp() override { open(false); }

    // The open panel with a volume and a resolution that no press produces,
    // so that any change to them shows.
    static void open(bool listOpen) {
        clean();
        LauncherState& s = launcherState;
        s.settingsOpen = true;
        s.resolutionListOpen = listOpen;
        s.volumeLevel = s.resolutionIndex = 9;
    }

    // While the list is open every press closes it too. Only SAVE & ACCEPT
    // (the panel closing) writes the key.
    static void expectPress(bool listOpen, const Press& p) {
        open(listOpen);
        Snapshot want = snapshot();
        want[ListOpen] = 0;
        if (p.field != Nothing) want[p.field] = p.value;
        handleSettingsClick(p.x, p.y);
        EXPECT_EQ(snapshot(), want) << p.x << "," << p.y << " list open " << listOpen;
        EXPECT_EQ(gameKeyExists(), p.field == Open) << p.x << "," << p.y;
    }
};

}  // namespace

TEST_F(SettingsPanelInputTest, PressesHitExactlyTheirRectangles) {
    // The resolution box opens the list; the volume track maps x to
    // (x - 400) * 9 / 200, so 0 to 8; SAVE & ACCEPT saves and closes.
    const Press presses[] = {
        {400, 180, ListOpen, 1}, {599, 209, ListOpen, 1}, {500, 195, ListOpen, 1},
        {600, 195, Nothing, 0},  {399, 195, Nothing, 0},  {500, 210, Nothing, 0},
        {500, 179, Nothing, 0},  {400, 360, Volume, 0},   {422, 360, Volume, 0},
        {423, 360, Volume, 1},   {450, 355, Volume, 2},   {500, 364, Volume, 4},
        {578, 360, Volume, 8},   {599, 360, Volume, 8},   {399, 360, Nothing, 0},
        {600, 360, Nothing, 0},  {450, 354, Nothing, 0},  {450, 365, Nothing, 0},
        {350, 410, Open, 0},     {549, 454, Open, 0},     {349, 430, Nothing, 0},
        {550, 430, Nothing, 0},  {450, 409, Nothing, 0},  {450, 455, Nothing, 0}};
    for (const Press& p : presses) expectPress(false, p);

    // Check boxes are hit over 20 x 20 (18 and 19 lie outside the drawn
    // 18 x 18 box), never on their labels.
    const int hits[][2] = {{0, 0}, {19, 19}, {18, 5}, {5, 18}};
    const int misses[][2] = {{20, 5}, {5, 20}, {-1, 5}, {5, -1}, {28, 8}, {60, 8}};
    for (int i = 0; i < 3; ++i) {
        for (const auto& o : hits)
            expectPress(false, {250 + o[0], 230 + 40 * i + o[1], Field(WindowMode + i)});
        for (const auto& o : misses) expectPress(false, {250 + o[0], 230 + 40 * i + o[1]});
    }
    // A second press switches a check box back, and on the resolution box
    // picks the row under it from the list the first one opened.
    open(false);
    for (int i = 0; i < 2; ++i) handleSettingsClick(255, 275);
    for (int i = 0; i < 2; ++i) handleSettingsClick(500, 185);
    EXPECT_TRUE(launcherState.soundOn);
    EXPECT_EQ(launcherState.resolutionIndex, 0);

    // With the list open a press picks the row under it or only closes it.
    for (int row = 0; row < 9; ++row) {
        expectPress(true, {400, 180 + 25 * row, Resolution, row});
        expectPress(true, {599, 204 + 25 * row, Resolution, row});
    }
    // Edges of the rows, a visible check box, the volume label, SAVE & ACCEPT
    // below the list and the dimmed area.
    const Press outside[] = {{399, 200}, {600, 200}, {500, 405}, {255, 235},
                             {255, 275}, {260, 320}, {450, 420}, {20, 20}};
    for (const Press& p : outside) expectPress(true, p);
}

TEST_F(SettingsPanelInputTest, SaveAndAcceptClosesThePanelEvenWhenTheSaveFails) {
    // A non-volatile key cannot be created under a volatile one.
    HKEY parent = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Haldor", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &parent, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parent);
    launcherState.musicOn = false;
    handleSettingsClick(450, 430);
    EXPECT_FALSE(launcherState.settingsOpen);
    ASSERT_FALSE(gameKeyExists()) << "the save was expected to fail here";
    EXPECT_FALSE(launcherState.musicOn) << "the edits stay in memory";
}

TEST_F(SettingsPanelInputTest, PointerMovesTrackTheListRowOnlyWhileTheListIsOpen) {
    handleSettingsMouseMove(500, 200);
    EXPECT_EQ(launcherState.hoveredResolutionRow, -1) << "the list is closed";

    launcherState.resolutionListOpen = true;
    const struct {
        int x, y, row;
    } moves[] = {{500, 180, 0},  {500, 204, 0},  {500, 205, 1},  {400, 380, 8}, {599, 404, 8},
                 {500, 405, -1}, {399, 300, -1}, {600, 300, -1}, {450, 290, 4}};
    for (const auto& m : moves) {
        handleSettingsMouseMove(m.x, m.y);
        EXPECT_EQ(launcherState.hoveredResolutionRow, m.row) << m.x << "," << m.y;
    }

    // Closing the list keeps the row for the next time it opens.
    handleSettingsClick(100, 100);
    EXPECT_FALSE(launcherState.resolutionListOpen);
    EXPECT_EQ(launcherState.hoveredResolutionRow, 4);
}

// The main window's press handler hands every press but the close button's
// to the panel while it is open.
TEST_F(SettingsPanelInputTest, WhileOpenNoPressDragsOrReachesTheMainScreen) {
    HWND window = CreateWindowExW(0, L"STATIC", L"panel", WS_POPUP, 0, 0, 900, 550, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    static int pagesOpened = 0;
    const WebPageOpener previous = setWebPageOpener([](const std::wstring&) { ++pagesOpened; });
    launcherState.updateFinished = launcherState.updateSucceeded = true;

    // Background, NEWS, RANKING, SETTINGS, START GAME, the close button's
    // edges, the panel body and the labels.
    const POINT presses[] = {{10, 10},  {100, 300}, {100, 360}, {100, 420}, {700, 420},
                             {890, 20}, {870, 40},  {210, 130}, {300, 195}, {300, 360}};
    for (const POINT& p : presses) {
        const Snapshot before = snapshot();
        EXPECT_EQ(handleLeftButtonDown(window, p.x, p.y), PressResult::Handled)
            << p.x << "," << p.y;
        EXPECT_EQ(snapshot(), before) << p.x << "," << p.y;
        EXPECT_TRUE(IsWindow(window)) << p.x << "," << p.y;
    }
    EXPECT_EQ(pagesOpened, 0);

    // The close button still closes, and nothing is saved.
    EXPECT_EQ(handleLeftButtonDown(window, 870, 20), PressResult::Handled);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(gameKeyExists());
    setWebPageOpener(previous);
}

namespace {

using Gdiplus::ARGB;

int channel(ARGB colour, int shift) {
    return static_cast<int>((colour >> shift) & 0xFF);
}

bool closeTo(ARGB got, ARGB want, int tolerance) {
    for (int shift : {0, 8, 16})
        if (std::abs(channel(got, shift) - channel(want, shift)) > tolerance) return false;
    return true;
}

// The opaque result of `top`, with its alpha, over the opaque `bottom`.
ARGB over(ARGB top, ARGB bottom) {
    const int a = static_cast<int>(top >> 24);
    ARGB out = 0xFF000000;
    for (int shift : {0, 8, 16})
        out |= ARGB((channel(top, shift) * a + channel(bottom, shift) * (255 - a) + 127) / 255)
               << shift;
    return out;
}

// The main screen stands in as plain blue under the panel alone.
constexpr ARGB kUnderneath = 0xFF0000FF, kDim = 0xD2000000, kOrange = 0xFFFF8C00,
               kWhite = 0xFFFFFFFF, kCheckMark = 0xFF00BEFF, kCheckBox = 0xFF0A141E,
               kPanel = 0xFF191919, kControl = 0xFF323232, kSaveButton = 0xFF009664,
               kList = 0xFF2D2D2D, kHovered = 0x64FFFFFF, kSelected = 0x960078D7;

class SettingsPanelFrameTest : public GameStateTest {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(token_); }
    void SetUp() override {
        GameStateTest::SetUp();
        launcherState.settingsOpen = true;
    }

    // One frame over the stand-in: the panel alone (with the launcher's own
    // resources and font fallback) or the whole main screen.
    void render(bool wholeScreen = false) {
        bitmap_ = std::make_unique<Gdiplus::Bitmap>(900, 550, PixelFormat32bppARGB);
        Gdiplus::Graphics graphics(bitmap_.get());
        Gdiplus::SolidBrush underneath(kUnderneath);
        graphics.FillRectangle(&underneath, 0, 0, 900, 550);
        if (wholeScreen) return drawMainScreenPlain(graphics);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        const PaintResourceSet resources;
        drawSettingsPanel(graphics, resources.get());
    }

    ARGB at(int x, int y) const {
        Gdiplus::Color colour;
        bitmap_->GetPixel(x, y, &colour);
        return colour.GetValue();
    }

    ::testing::AssertionResult pixel(int x, int y, ARGB want, int tolerance = 4) const {
        if (closeTo(at(x, y), want, tolerance)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "pixel " << x << "," << y << " is " << std::hex << at(x, y) << ", not " << want;
    }

    // Pixels of the rectangle [left, right) x [top, bottom) close to a colour.
    int count(int left, int top, int right, int bottom, ARGB colour, int tolerance) const {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x) n += closeTo(at(x, y), colour, tolerance);
        return n;
    }

    static ULONG_PTR token_;
    std::unique_ptr<Gdiplus::Bitmap> bitmap_;
};

ULONG_PTR SettingsPanelFrameTest::token_ = 0;

}  // namespace

// Drawn by the main screen's paint pass: outside the panel, the whole main
// screen under the dim layer; inside, the body, title, box and controls.
TEST_F(SettingsPanelFrameTest, DimsTheMainScreenAndDrawsTheBodyTitleAndControls) {
    const POINT outside[] = {{5, 5},   {899, 0},   {100, 300}, {800, 500},
                             {0, 549}, {740, 450}, {780, 510}, {864, 36}};
    launcherState.settingsOpen = false;
    render(true);
    ARGB plain[8];
    for (int i = 0; i < 8; ++i) plain[i] = at(outside[i].x, outside[i].y);
    EXPECT_FALSE(pixel(215, 460, kPanel)) << "no panel while closed";

    launcherState.settingsOpen = true;
    render(true);
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(i < 5 || plain[i] != kUnderneath) << "START GAME, progress track, close";
        EXPECT_TRUE(pixel(outside[i].x, outside[i].y, over(kDim, plain[i]), 3));
    }
    // Away from every text and rounded corner.
    EXPECT_TRUE(pixel(215, 460, kPanel)) << "panel body";
    EXPECT_TRUE(pixel(685, 135, kPanel)) << "panel body";
    EXPECT_TRUE(pixel(405, 205, kControl)) << "resolution box";
    EXPECT_TRUE(pixel(595, 360, kControl)) << "volume track beyond the fill";
    EXPECT_TRUE(pixel(356, 450, kSaveButton)) << "SAVE & ACCEPT";

    EXPECT_GT(count(200, 140, 700, 180, kOrange, 40), 20) << "title";
    EXPECT_EQ(count(200, 120, 700, 140, kOrange, 40), 0) << "the title sits in its rectangle";
    EXPECT_GT(count(400, 180, 600, 210, kOrange, 40), 10) << "current resolution";
    EXPECT_GT(count(250, 185, 350, 210, kWhite, 30), 10) << "Resolution label";
    EXPECT_GT(count(250, 350, 350, 375, kWhite, 30), 10) << "volume label";
    EXPECT_GT(count(350, 410, 550, 455, kWhite, 30), 20) << "SAVE & ACCEPT text";
}

// Check marks exactly for the switches that are on; the volume fill for any
// stored level, kept on the track; the open list's hovered and selected rows,
// the selection drawn over the hover. A resolution outside the nine rows shows
// no label in the box and marks no row.
TEST_F(SettingsPanelFrameTest, EachStateShowsItsSwitchesVolumeAndRows) {
    const struct {
        int on;  // bit 0: window mode, bit 1: sound, bit 2: music
        int32_t level;
        int width;
        int32_t hovered, selected;
    } cases[] = {{7, 0, 0, 2, 6},           {2, 5, 111, 6, 6},       {5, 8, 177, -1, 9},
                 {0, 9, 200, 4, -1},        {7, 12, 200, -1, 1000},  {2, -3, 0, 0, 0},
                 {5, INT32_MAX, 200, 8, 3}, {0, INT32_MIN, 0, -1, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "level " << c.level << ", rows " << c.hovered << "/" << c.selected);
        LauncherState& s = launcherState;
        s.windowMode = c.on & 1;
        s.soundOn = c.on & 2;
        s.musicOn = c.on & 4;
        s.volumeLevel = c.level;
        s.hoveredResolutionRow = c.hovered;
        s.resolutionIndex = c.selected;
        s.resolutionListOpen = false;
        render();
        for (int i = 0; i < 3; ++i) {
            const int top = 230 + 40 * i;
            const int marks = count(251, top + 1, 268, top + 18, kCheckMark, 40);
            EXPECT_TRUE(c.on >> i & 1 ? marks > 5 : marks == 0) << "box " << i << ": " << marks;
            EXPECT_TRUE(pixel(265, top + 15, kCheckBox)) << "the box's fill, box " << i;
            EXPECT_GT(count(278, top - 2, 428, top + 23, kWhite, 30), 10) << "label " << i;
        }
        // Pixels of the track's middle row, right of the white label, that
        // are more fill than track; no green beside the track.
        int width = 0;
        for (int x = 352; x < 700; ++x)
            width += channel(at(x, 360), 8) > (0xB4 + 0x32) / 2 && channel(at(x, 360), 16) < 0x32;
        EXPECT_NEAR(width, c.width, 1);
        EXPECT_LT(channel(at(395, 360), 8), 0x60);
        EXPECT_LT(channel(at(606, 360), 8), 0x60);
        EXPECT_TRUE(c.selected >= 0 && c.selected < 9 ? count(400, 180, 600, 210, kOrange, 40) > 10
                                                      : count(400, 180, 600, 210, kOrange, 60) == 0)
            << "the box's label";

        s.resolutionListOpen = true;
        render();
        for (int row = 0; row < 9; ++row) {
            ARGB want = kList;
            if (row == c.hovered) want = over(kHovered, want);
            if (row == c.selected) want = over(kSelected, want);
            EXPECT_TRUE(pixel(410, 192 + 25 * row, want));
            EXPECT_GT(count(400, 180 + 25 * row, 600, 205 + 25 * row, kWhite, 30), 10)
                << "label of row " << row;
        }
        // The list covers the box and the volume slider; the check boxes and,
        // below the list, SAVE & ACCEPT stay.
        EXPECT_TRUE(pixel(410, 360, kList));
        EXPECT_EQ(count(400, 180, 600, 210, kOrange, 40), 0) << "the box's label is covered";
        EXPECT_TRUE(pixel(265, 245, kCheckBox));
        EXPECT_TRUE(pixel(405, 450, kSaveButton));
    }
}
