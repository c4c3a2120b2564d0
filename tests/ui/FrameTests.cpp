#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "draw/Drawing.h"
#include "ui/Particles.h"

namespace {

constexpr uint32_t kTrack = 0x282828;
constexpr uint32_t kBar = 0x00B478;
constexpr uint32_t kWhite = 0xFFFFFF;
LauncherState& s = launcherState;

// Random dots plus dots on the edges of the buttons, the bar's end and the
// status text, overlapping ones (where the order of drawing shows), lone
// ones sharing a colour and ones the window's edges cut.
void addDotsEverywhere(unsigned seed) {
    spawnParticlesSeeded(seed);
    const float spots[][3] = {
        {78, 300.37f, 249},  {258, 328.37f, 249}, {618, 455.37f, 249}, {855, 388.37f, 249},
        {355, 498.37f, 249}, {120, 478.37f, 249}, {797, 517.37f, 249}, {98, 505.37f, 249},
        {400, 320, 150},     {402, 321.5f, 249},  {401, 322.25f, 150}, {30, 360, 249},
        {32.5f, 361, 200},   {600, 340, 150},     {896, 470.37f, 200}, {1, 440.37f, 180}};
    for (const auto& d : spots) s.particles.push_back(Particle{d[0], d[1], 0, 5, int32_t(d[2])});
}

}  // namespace

TEST(FontFallbackTest, TakesTheFirstInstalledCandidateInOrder) {
    const std::vector<std::wstring> candidates{L"Segoe UI", L"MS Shell Dlg", L"", L"Tahoma",
                                               L"Arial"};
    const std::pair<std::vector<std::wstring>, std::wstring> cases[] = {
        {{L"Segoe UI", L"Tahoma"}, L"Segoe UI"},
        {{L"Tahoma", L"Arial"}, L"Tahoma"},
        {{L"Arial"}, L"Arial"},
        {{L""}, L""},  // an empty candidate is never asked about
        {{}, L""},
    };
    for (const auto& [installed, expected] : cases) {
        std::vector<std::wstring> asked;
        const auto isInstalled = [&](const std::wstring& name) {
            asked.push_back(name);
            return std::count(installed.begin(), installed.end(), name) > 0;
        };
        EXPECT_EQ(firstInstalledFamily(candidates, isInstalled), expected);
        EXPECT_EQ(std::count(asked.begin(), asked.end(), L""), 0);
    }
}

// Each button: a white label in its top half even without Segoe UI, and only
// its own fill changes under the pointer (sampled away from the label).
TEST_F(MainScreenTest, ButtonsShowTheirLabelAndOnlyTheHoveredOneChanges) {
    EXPECT_FALSE(textFontFamilyName().empty());
    const struct {
        const char* name;
        RECT rect;
        bool* hover;
        int x, y;
        uint32_t colour, hoverColour;
    } buttons[] = {
        {"NEWS", newsButtonRect, &s.newsHover, 90, 322, 0x282828, 0x505050},
        {"RANKING", rankingButtonRect, &s.rankingHover, 250, 382, 0x282828, 0x505050},
        {"SETTINGS", settingsButtonRect, &s.settingsHover, 90, 442, 0x282828, 0x505050},
        {"START GAME", startButtonRect, &s.startHover, 632, 450, 0x00B478, 0x00DC96},
        {"X", closeButtonRect, &s.closeHover, 887, 25, 0x961E1E, 0xDC3C3C},
    };
    const Frame resting = render();
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.name);
        const RECT& r = b.rect;
        const int middle = (r.top + r.bottom) / 2;
        EXPECT_GE(resting.count(r.left, r.top, r.right, middle, kWhite), 8) << "no label on top";
        EXPECT_EQ(resting.count(r.left, middle + 4, r.right, r.bottom, kWhite), 0);
        EXPECT_EQ(hex(resting.at(b.x, b.y)), hex(b.colour));
        *b.hover = true;
        const Frame hovered = render();
        *b.hover = false;
        for (const auto& o : buttons) {
            EXPECT_EQ(hex(hovered.at(o.x, o.y)), hex(&o == &b ? o.hoverColour : o.colour))
                << o.name;
        }
    }
}

TEST_F(MainScreenTest, ProgressBarEndsAtSevenPixelsPerPercent) {
    for (int percent : {0, 1, 50, 100}) {
        SCOPED_TRACE("progress " + std::to_string(percent));
        s.progressPercent = percent;
        const Frame frame = render();
        const int end = 100 + 7 * percent;  // first column past the bar
        if (percent > 0) {
            EXPECT_EQ(hex(frame.at(100, 510)), hex(kBar));
            EXPECT_EQ(hex(frame.at(end - 1, 510)), hex(kBar));
            if (percent < 100) EXPECT_NE(hex(frame.at(end, 510)), hex(kBar));
        }
        if (end < 795) {
            EXPECT_EQ(hex(frame.at(std::max(end, 110) + 1, 510)), hex(kTrack));
            EXPECT_EQ(hex(frame.at(790, 510)), hex(kTrack));
        }
        // At 0 only the corner arcs are left: a small mark at the left end.
        if (percent == 0) EXPECT_EQ(frame.count(111, 500, 800, 520, kBar), 0);
        if (percent == 100) EXPECT_EQ(frame.count(100, 505, 800, 515, kTrack), 0);
    }
}

TEST_F(MainScreenTest, StatusLineAppearsOnlyWithTextAndOnlyInItsBand) {
    const Frame empty = render();
    s.statusDetail.set(L"Downloading: data/client.pak");
    const Frame withText = render();
    EXPECT_GT(withText.count(100, 475, 800, 500, kWhite), 20);
    EXPECT_EQ(empty.count(100, 475, 800, 500, kWhite), 0);
    Frame outsideBand = withText;  // nothing but the status line's band changes
    for (int y = 475; y < 502; ++y) {
        std::copy_n(&empty.pixels[y * kFrameWidth + 100], 702,
                    &outsideBand.pixels[y * kFrameWidth + 100]);
    }
    EXPECT_EQ(differingPixels(empty.pixels, outsideBand.pixels), 0);
}

TEST_F(MainScreenTest, DotsAreOrangeAndLieUnderTheButtons) {
    // One over the bare background, one inside the NEWS button.
    s.particles = {Particle{400, 320, 0, 5, 255}, Particle{150, 310, 0, 5, 255}};
    const Frame frame = render();
    EXPECT_EQ(hex(frame.at(402, 322)), hex(0xFF8C00));
    EXPECT_EQ(hex(frame.at(152, 312)), hex(0x282828));
}

// Neither the kept picture, fonts and controls' layer, nor the dots composed
// from kept shapes, nor the window's buffer, repaired around the dots and shown
// only where the ticks ask for a repaint, may change a single pixel. Every
// state is drawn the plain way and the shipped way, first into a bitmap, then
// through the window frame after frame (the last one after a frame drawn
// elsewhere), with the same kept pieces from state to state, without and with
// dots that move, jump and are replaced.
TEST_F(MainScreenTest, ShippedFramesAndTheWindowShowThePlainPassPixels) {
    Gdiplus::Image* const picture = s.backgroundImage;
    StandInWindow window;
    ASSERT_NE(window.handle, nullptr);
    ShowWindow(window.handle, SW_SHOWNOACTIVATE);
    OffscreenBitmap shown(nullptr, kFrameWidth, kFrameHeight);
    const struct {
        const char* name;
        bool* hover = nullptr;
        int percent = 0;
        const wchar_t* status = L"";
        bool finished = false, settingsOpen = false, listOpen = false, noPicture = false;
    } states[] = {
        {"start-up"},
        {"news hover", &s.newsHover},
        {"ranking hover", &s.rankingHover},
        {"settings hover", &s.settingsHover},
        {"start hover", &s.startHover},
        {"close hover", &s.closeHover},
        {"progress 1", nullptr, 1},
        {"progress 37 with status", nullptr, 37, L"Downloading: data/textures/terrain.pak"},
        {"progress 100 with outcome", nullptr, 100, L"All files are up to date!", true},
        {"settings open", nullptr, 0, L"", false, true},
        {"settings list open", nullptr, 0, L"", false, true, true},
        {"settings closed again", nullptr, 64, L"Downloading: data/client.pak"},
        {"no picture", nullptr, 0, L"Error: Check your connection.", false, false, false, true},
    };
    // Moved as a respawn would: the dot's old and new places are repainted.
    const auto jump = [&](size_t i, float x, float y) {
        const RECT before = particleBounds(s.particles[i]);
        s.particles[i].x = x;
        s.particles[i].y = y;
        const RECT after = particleBounds(s.particles[i]);
        InvalidateRect(window.handle, &before, FALSE);
        InvalidateRect(window.handle, &after, FALSE);
    };
    unsigned seed = 0;
    // Into a bitmap, through the window, and into a bitmap with GDI+ filling
    // every dot, as where kept shapes cannot reproduce its fills.
    for (int pass = 0; pass < 3; ++pass) {
        const bool throughWindow = pass == 1;
        allowKeptDotShapes(pass != 2);
        for (bool dots : {false, true}) {
            if (pass == 2 && !dots) continue;
            for (const auto& state : states) {
                SCOPED_TRACE(std::string(state.name) + (dots ? ", dots" : "") +
                             (throughWindow ? ", window" : "") + (pass == 2 ? ", GDI+ dots" : ""));
                resetMainScreenState();
                // Through the window, ticks repaint only the dots' places.
                s.window = throughWindow ? window.handle : nullptr;
                s.backgroundImage = state.noPicture ? nullptr : picture;
                if (state.hover) *state.hover = true;
                s.progressPercent = state.percent;
                s.statusDetail.set(state.status);
                s.updateFinished = s.updateSucceeded = state.finished;
                s.settingsOpen = state.settingsOpen;
                s.resolutionListOpen = state.listOpen;
                s.hoveredResolutionRow = state.listOpen ? 2 : -1;
                if (dots) addDotsEverywhere(++seed);  // new dots: they jump
                // A new state is drawn directly first, then through the kept
                // layer, then repaired around the dots, then after a frame
                // drawn elsewhere.
                // A dot on the bare background that respawns in the second
                // tick: the tick must ask to repaint its old place.
                if (dots)
                    s.particles[3].x = 400, s.particles[3].y = 300 + 1.5f * s.particles[3].speed;
                for (int tick = 0; tick < 4; ++tick) {
                    // Jumps as on a respawn, one of them under a button.
                    if (dots && tick == 1) jump(0, 450, 500), jump(1, 150, 310);
                    if (dots && tick == 2) jump(2, 700, 500);
                    const Pixels plain = render(drawMainScreenPlain).pixels;
                    if (!throughWindow) {
                        EXPECT_EQ(differingPixels(plain, render().pixels), 0) << "frame " << tick;
                    } else {
                        if (tick == 3) render();  // a frame drawn elsewhere meanwhile
                        // A new state repaints everything, as its handlers ask.
                        if (tick == 0) InvalidateRect(window.handle, nullptr, FALSE);
                        paintWindow(window.handle);
                        HDC windowDc = GetDC(window.handle);
                        BitBlt(shown.dc(), 0, 0, kFrameWidth, kFrameHeight, windowDc, 0, 0,
                               SRCCOPY);
                        ReleaseDC(window.handle, windowDc);
                        EXPECT_EQ(differingPixels(plain, shown.pixels()), 0) << "frame " << tick;
                    }
                    advanceParticles();
                }
            }
        }
    }
    allowKeptDotShapes(true);
    s.backgroundImage = picture;
}
