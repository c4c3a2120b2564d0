#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "UiTestSupport.h"
#include "game/SettingsPanel.h"

namespace {
LauncherState& s = launcherState;
using Flag = bool LauncherState::*;
}  // namespace

// Every rectangle of the layout at 120, 144 and 192 DPI, scaled from the
// design's one set (96 DPI leaves it as it is; the window is 1350 x 825 at
// 144 and 1800 x 1100 at 192). The pixels on both sides of each edge map back
// to the design's sides of it, so the pointer lights or presses `hit` (with
// the panel open for its controls) exactly within the scaled rectangle. The
// drawn edge is hard: the last pixel inside is the control's colour, the
// first outside what lies beyond it (drawn over no picture), no blend; and
// the labels widen with the DPI.
TEST_F(MainScreenTest, TheLayoutScalesFromTheDesignsRectangles) {
    // clang-format off
    const struct { const char* name; RECT design, at120, at144, at192; Flag hit; bool panel; uint32_t colour; } rows[] = {
        {"window", kWindowRect, {0, 0, 1125, 688}, {0, 0, 1350, 825}, {0, 0, 1800, 1100}, nullptr, 0, 0},
        {"NEWS", newsButtonRect, {100, 350, 325, 413}, {120, 420, 390, 495}, {160, 560, 520, 660}, &LauncherState::newsHover, 0, 0x282828},
        {"RANKING", rankingButtonRect, {100, 425, 325, 488}, {120, 510, 390, 585}, {160, 680, 520, 780}, &LauncherState::rankingHover, 0, 0x282828},
        {"SETTINGS", settingsButtonRect, {100, 500, 325, 563}, {120, 600, 390, 675}, {160, 800, 520, 900}, &LauncherState::settingsHover, 0, 0x282828},
        {"START GAME", startButtonRect, {775, 488, 1075, 575}, {930, 585, 1290, 690}, {1240, 780, 1720, 920}, &LauncherState::startHover, 0, 0x00B478},
        {"X", closeButtonRect, {1075, 13, 1113, 50}, {1290, 15, 1335, 60}, {1720, 20, 1780, 80}, &LauncherState::closeHover, 0, 0x961E1E},
        {"track", progressTrackRect, {125, 625, 1000, 650}, {150, 750, 1200, 780}, {200, 1000, 1600, 1040}, nullptr, 0, 0x282828},
        {"status line", statusLineRect, {125, 594, 1000, 625}, {150, 713, 1200, 750}, {200, 950, 1600, 1000}, nullptr, 0, 0},
        {"panel", settingsPanelRect, {250, 150, 875, 600}, {300, 180, 1050, 720}, {400, 240, 1400, 960}, nullptr, 1, 0x191919},
        {"resolution", resolutionBoxRect, {500, 225, 750, 263}, {600, 270, 900, 315}, {800, 360, 1200, 420}, &LauncherState::resolutionListOpen, 1, 0x323232},
        {"window mode", windowModeBoxRect, {313, 288, 338, 313}, {375, 345, 405, 375}, {500, 460, 540, 500}, &LauncherState::windowMode, 1, 0},
        {"sound", soundBoxRect, {313, 338, 338, 363}, {375, 405, 405, 435}, {500, 540, 540, 580}, &LauncherState::soundOn, 1, 0},
        {"music", musicBoxRect, {313, 388, 338, 413}, {375, 465, 405, 495}, {500, 620, 540, 660}, &LauncherState::musicOn, 1, 0},
        {"volume", volumeTrackRect, {500, 444, 750, 456}, {600, 533, 900, 548}, {800, 710, 1200, 730}, nullptr, 1, 0x323232},
        {"save", saveButtonRect, {438, 513, 688, 569}, {525, 615, 825, 683}, {700, 820, 1100, 910}, nullptr, 1, 0x009664}};
    // clang-format on
    const int dpis[] = {96, 120, 144, 192};
    Gdiplus::Image* const picture = s.backgroundImage;
    const void* const pixels = s.backgroundPixels;
    s.backgroundImage = nullptr;
    s.backgroundPixels = nullptr;
    std::map<std::pair<int, bool>, Frame> frames;  // by DPI and panel
    for (const auto& row : rows) {
        const RECT expected[] = {row.design, row.at120, row.at144, row.at192};
        const RECT& d = row.design;
        int labelWidth = 0;
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(dpis[i]));
            const Scale scale{dpis[i]};
            const RECT& e = expected[i];
            const RECT r = scale.rect(d);
            EXPECT_EQ(std::tie(r.left, r.top, r.right, r.bottom),
                      std::tie(e.left, e.top, e.right, e.bottom));
            for (const auto& [pixel, design] : {std::pair{e.left - 1, d.left - 1}, {e.left, d.left},
                                                {e.right - 1, d.right - 1}, {e.right, d.right},
                                                {e.top - 1, d.top - 1}, {e.top, d.top},
                                                {e.bottom - 1, d.bottom - 1}, {e.bottom, d.bottom}}) {
                EXPECT_EQ(scale.design(pixel), design) << pixel;
            }
            resetMainScreenState();
            drawAtDpi(scale.dpi);
            s.settingsOpen = row.panel;
            if (row.hit) {
                // In at the top left corner, out at the bottom right one.
                const bool before = s.*row.hit;
                for (const auto& [x, y, inside] : {std::tuple{e.left, e.top, true},
                                                   std::tuple{e.right, e.bottom, false}}) {
                    s.*row.hit = before;
                    if (row.panel) {
                        handleLeftButtonDown(nullptr, x, y);
                    } else {
                        handleMouseMove(x, y);
                    }
                    EXPECT_EQ(s.*row.hit, row.panel ? before != inside : inside) << x << "," << y;
                }
            }
            if (!row.colour) continue;
            s.settingsOpen = row.panel;
            s.resolutionListOpen = s.newsHover = s.rankingHover = s.settingsHover = false;
            s.startHover = s.closeHover = false;
            auto found = frames.find({scale.dpi, row.panel});
            if (found == frames.end()) found = frames.emplace(std::pair{scale.dpi, row.panel}, render()).first;
            const Frame& frame = found->second;
            const int y = (e.top + e.bottom) / 2;
            EXPECT_EQ(frame.at(e.right - 1, y), row.colour);
            EXPECT_EQ(frame.at(e.right, y), frame.at(e.right + 2, y));
            // The labels grow with their fonts: white from end to end.
            int left = e.right, right = e.left;
            for (int py = e.top; py < e.bottom; ++py) {
                for (int px = e.left; px < e.right; ++px) {
                    if (frame.at(px, py) != 0xFFFFFF) continue;
                    left = std::min(left, px);
                    right = std::max(right, px + 1);
                }
            }
            if (i == 0) labelWidth = right - left;
            const double grown = labelWidth * scale.size(1.0f);
            if (labelWidth > 0) EXPECT_NEAR(right - left, grown, 2 + grown / 10);
        }
    }
    s.backgroundImage = picture;
    s.backgroundPixels = pixels;
}
