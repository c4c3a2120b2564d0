#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "GameTestSupport.h"
#include "game/SettingsPanel.h"
#include "ui/UiTestSupport.h"

namespace {

LauncherState& s = launcherState;

// Everything a press on the panel may change, by index.
enum Field { Open, ListOpen, WindowMode, Sound, Music, Hovered, Volume, Resolution, Nothing };
using Snapshot = std::array<int32_t, 8>;

Snapshot snapshot() {
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
    // The open panel with a volume and a resolution that no press produces,
    // so that any change to them shows.
    static void open(bool listOpen) {
        clean();
        s.settingsOpen = true;
        s.resolutionListOpen = listOpen;
        s.volumeLevel = s.resolutionIndex = 9;
    }
    // The pointer moves there first: only the open list tracks it, and its
    // row stays when the list closes. While the list is open every press
    // closes it too. Only SAVE & ACCEPT (the panel closing) writes the key.
    static void expectPress(bool listOpen, const Press& p) {
        open(listOpen);
        Snapshot want = snapshot();
        want[ListOpen] = 0;
        want[Hovered] = listOpen && p.field == Resolution ? p.value : -1;
        if (p.field != Nothing) want[p.field] = p.value;
        handleSettingsMouseMove(p.x, p.y);
        handleSettingsClick(p.x, p.y);
        EXPECT_EQ(snapshot(), want) << p.x << "," << p.y << " list open " << listOpen;
        EXPECT_EQ(gameKeyExists(), p.field == Open) << p.x << "," << p.y;
    }
};

}  // namespace

// The resolution box opens the list; the volume track maps x to
// (x - 400) * 9 / 200, so 0 to 8; SAVE & ACCEPT saves and closes; check
// boxes are hit over 20 x 20, never on their labels. With the list open a
// press picks the row under it or only closes it.
TEST_F(SettingsPanelInputTest, PressesHitExactlyTheirRectangles) {
    const Press presses[] = {
        {400, 180, ListOpen, 1},   {599, 209, ListOpen, 1},   {600, 195, Nothing, 0},
        {399, 195, Nothing, 0},    {500, 210, Nothing, 0},    {500, 179, Nothing, 0},
        {400, 360, Volume, 0},     {422, 360, Volume, 0},     {423, 360, Volume, 1},
        {500, 364, Volume, 4},     {599, 355, Volume, 8},     {399, 360, Nothing, 0},
        {600, 360, Nothing, 0},    {450, 354, Nothing, 0},    {450, 365, Nothing, 0},
        {350, 410, Open, 0},       {549, 454, Open, 0},       {349, 430, Nothing, 0},
        {550, 430, Nothing, 0},    {450, 409, Nothing, 0},    {450, 455, Nothing, 0},
        {250, 230, WindowMode, 0}, {269, 249, WindowMode, 0}, {270, 240, Nothing, 0},
        {260, 250, Nothing, 0},    {278, 238, Nothing, 0},    {250, 270, Sound, 0},
        {269, 289, Sound, 0},      {250, 310, Music, 0},      {269, 329, Music, 0},
        {270, 320, Nothing, 0}};
    for (const Press& p : presses) expectPress(false, p);
    for (int row = 0; row < 9; ++row) {
        expectPress(true, {400, 180 + 25 * row, Resolution, row});
        expectPress(true, {599, 204 + 25 * row, Resolution, row});
    }
    for (const auto& [x, y] : {std::pair{399, 200}, {600, 200}, {500, 405}, {255, 235}, {450, 420}})
        expectPress(true, {x, y});
}

// Esc closes the open list alone, then the panel with the values it showed
// when it opened, whatever was edited meanwhile, and saves nothing; on the
// main screen it does nothing. After a save the panel opens with the saved
// values.
TEST_F(SettingsPanelInputTest, EscapePutsBackTheValuesThePanelOpenedWith) {
    constexpr int esc = -1;
    const Snapshot start{0, 0, 1, 1, 1, -1, 9, 9}, edited{1, 0, 0, 1, 1, -1, 4, 2},
        saved{0, 0, 1, 0, 1, -1, 9, 9};
    // Presses at (x, y), or Esc; then the state and whether the key exists.
    // clang-format off
    const struct { std::vector<std::pair<int, int>> input; Snapshot want; bool written; }
    steps[] = {
        {{{esc, 0}}, start, false},
        {{{80, 400}, {250, 230}, {500, 360}, {400, 180}, {400, 230}, {400, 180}, {esc, 0}},
         edited, false},
        {{{esc, 0}}, start, false},
        {{{80, 400}, {250, 270}, {350, 410}}, saved, true},
        {{{80, 400}, {250, 310}, {esc, 0}}, saved, true}};
    // clang-format on
    s.volumeLevel = s.resolutionIndex = 9;
    for (const auto& step : steps) {
        for (const auto& [x, y] : step.input)
            x == esc ? handleKeyDown(nullptr, VK_ESCAPE)
                     : void(handleLeftButtonDown(nullptr, x, y));
        EXPECT_EQ(snapshot(), step.want) << "step " << &step - steps;
        EXPECT_EQ(gameKeyExists(), step.written) << "step " << &step - steps;
    }
}

// The pure pieces: the fill stays on the track whatever the stored level;
// the box shows a label only for one of the nine rows.
TEST(SettingsPanelTest, FillAndLabelStayWithinTheirRanges) {
    const std::pair<int32_t, int> fills[] = {{INT32_MIN, 0}, {-3, 0},  {0, 0},    {5, 111},
                                             {8, 177},       {9, 200}, {12, 200}, {INT32_MAX, 200}};
    for (const auto& [level, width] : fills) EXPECT_EQ(volumeFillWidth(level), width) << level;
    for (int32_t index : {INT32_MIN, -1, 0, 8, 9, 1000})
        EXPECT_EQ(resolutionLabel(index) != nullptr, index == 0 || index == 8) << index;
}

// The frame: check marks exactly for the switches that are on, the fill as
// wide as above, and in the open list the hovered and selected rows, the
// selection drawn over the hover.
TEST_F(MainScreenTest, SettingsPanelShowsItsSwitchesVolumeAndRows) {
    s.settingsOpen = true;
    for (const auto& [on, level, row] : {std::tuple{5, 5, 2}, {2, 12, 6}}) {
        s.windowMode = on & 1;
        s.soundOn = on & 2;
        s.musicOn = on & 4;
        s.volumeLevel = level;
        s.resolutionListOpen = false;
        const Frame frame = render(drawMainScreenPlain);
        for (int i = 0; i < 3; ++i) {
            const int marks = frame.count(251, 231 + 40 * i, 268, 248 + 40 * i, 0x00BEFF, 40);
            EXPECT_TRUE(on >> i & 1 ? marks > 5 : marks == 0) << "box " << i << ": " << marks;
        }
        // Pixels of the track's middle row that are more fill than track.
        int width = 0;
        for (int x = 352; x < 700; ++x)
            width += (frame.at(x, 360) >> 8 & 0xFF) > 0x73 && frame.at(x, 360) >> 16 < 0x32;
        EXPECT_NEAR(width, volumeFillWidth(level), 1);

        s.resolutionListOpen = true;
        s.hoveredResolutionRow = s.resolutionIndex = row;
        const Frame list = render(drawMainScreenPlain);
        // The hover 0x64FFFFFF over the list's 0x2D2D2D, then the selection
        // 0x960078D7 over that.
        for (int r = 0; r < 9; ++r)
            EXPECT_TRUE(list.shows(410, 192 + 25 * r, r == row ? 0x347BB3 : 0x2D2D2D)) << r;
    }
}
