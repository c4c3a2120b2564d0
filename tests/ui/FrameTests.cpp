#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "draw/Drawing.h"
#include "ui/FrameCache.h"
#include "ui/KeyboardFocus.h"
#include "ui/Particles.h"

namespace {

constexpr uint32_t kTrack = 0x282828, kBar = 0x00B478;
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

// The bar grows 7 px per percent over the track; dots are orange and lie
// under the buttons; each button, and only it, lights up under the pointer
// (sampled away from the labels).
TEST_F(MainScreenTest, BarDotsAndButtonsShowTheState) {
    bool* const hovers[] = {&s.newsHover, &s.rankingHover, &s.settingsHover, &s.startHover,
                            &s.closeHover};
    const int spots[][2] = {{90, 322}, {250, 382}, {90, 442}, {632, 450}, {887, 25}};
    const int percents[] = {0, 1, 12, 42, 100};
    s.particles = {Particle{400, 320, 0, 5, 255}, Particle{150, 310, 0, 5, 255}};
    for (int b = 0; b < 5; ++b) {
        const int percent = percents[b];
        s.progressPercent = percent;
        const Frame frame = render();
        EXPECT_EQ(std::make_pair(frame.at(402, 322), frame.at(152, 312)),
                  std::make_pair(0xFF8C00u, 0x282828u));
        const int end = 100 + 7 * percent;  // first column past the bar
        if (percent > 0) {
            EXPECT_EQ(std::make_pair(frame.at(100, 510), frame.at(end - 1, 510)),
                      std::make_pair(kBar, kBar));
            EXPECT_TRUE(percent == 100 || frame.at(end, 510) != kBar) << percent;
        }
        if (end < 795) EXPECT_EQ(frame.at(std::max(end, 110) + 1, 510), kTrack) << percent;
        // At 0 only the corner arcs are left: a small mark at the left end.
        EXPECT_TRUE(percent || frame.count(111, 500, 800, 520, kBar) == 0);
        EXPECT_TRUE(percent < 100 || frame.count(100, 505, 800, 515, kTrack) == 0);
        *hovers[b] = true;
        const Frame lit = render();
        *hovers[b] = false;
        for (int o = 0; o < 5; ++o) {
            const auto [x, y] = spots[o];
            EXPECT_EQ(lit.at(x, y) != frame.at(x, y), o == b) << "hover " << b << ", button " << o;
        }
    }
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
    const void* const pixels = s.backgroundPixels;
    StandInWindow window;
    ASSERT_NE(window.handle, nullptr);
    ShowWindow(window.handle, SW_SHOWNOACTIVATE);
    OffscreenBitmap shown(nullptr, kFrameWidth, kFrameHeight);
    // clang-format off
    // flags: 1 the pass has succeeded, 2 the panel is open, 4 its list too, 8 no picture,
    // 16 the ring on START GAME (on the panel's first control while it is open).
    const struct { const char* name; bool* hover; int percent; const wchar_t* status; int flags; } states[] = {
        {"start-up", nullptr, 0, L"", 0}, {"news hover", &s.newsHover, 0, L"", 0},
        {"ranking hover", &s.rankingHover, 0, L"", 0}, {"start hover", &s.startHover, 0, L"", 0},
        {"close hover", &s.closeHover, 0, L"", 0}, {"progress 1", nullptr, 1, L"", 0},
        {"progress 37", nullptr, 37, L"Downloading: data/textures/terrain.pak", 0},
        {"progress 100", nullptr, 100, L"All files are up to date!", 1},
        {"settings open", nullptr, 0, L"", 2}, {"settings list open", nullptr, 0, L"", 6},
        {"settings hover", &s.settingsHover, 64, L"Downloading: data/client.pak", 0},
        {"no picture", nullptr, 0, L"Error: Check your connection.", 8},
        {"start focused", &s.startHover, 0, L"", 17}, {"settings focused", nullptr, 0, L"", 18}};
    // clang-format on
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
    // Into a bitmap, through the window, into a bitmap with GDI+ filling
    // every dot, as where kept shapes cannot reproduce its fills, and into a
    // bitmap at 150 %.
    for (int pass = 0; pass < 4; ++pass) {
        const bool throughWindow = pass == 1;
        allowKeptDotShapes(pass != 2);
        if (pass == 3) drawAtDpi(144);
        for (bool dots : {false, true}) {
            if (pass >= 2 && !dots) continue;
            for (const auto& state : states) {
                SCOPED_TRACE(std::string(state.name) + (dots ? ", dots" : "") +
                             (throughWindow ? ", window" : "") + (pass == 2 ? ", GDI+ dots" : "") +
                             (pass == 3 ? ", 144 DPI" : ""));
                resetMainScreenState();
                if (pass == 3) s.scale = Scale{144};
                // Through the window, ticks repaint only the dots' places.
                s.window = throughWindow ? window.handle : nullptr;
                s.backgroundImage = state.flags & 8 ? nullptr : picture;
                // Drawn from the program's pixels, and in the last pass decoded.
                s.backgroundPixels = state.flags & 8 || pass == 2 ? nullptr : pixels;
                if (state.hover) *state.hover = true;
                s.progressPercent = state.percent;
                s.statusDetail.set(state.status);
                s.updateFinished = s.updateSucceeded = state.flags & 1;
                s.settingsOpen = state.flags & 2;
                s.resolutionListOpen = state.flags & 4;
                s.hoveredResolutionRow = state.flags & 4 ? 2 : -1;
                if (state.flags & 16) s.focusedControl = StartStop, s.focusRingShown = true;
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
                    // Frames drawn elsewhere meanwhile, with dots moving
                    // between them: the window's buffer holds neither.
                    if (throughWindow && tick == 3) {
                        if (dots) jump(4, 250, 470);
                        render();
                        if (dots) jump(5, 600, 460);
                        render();
                    }
                    const Pixels plain = render(drawMainScreenPlain).pixels;
                    if (!throughWindow) {
                        EXPECT_EQ(differingPixels(plain, render().pixels), 0) << "frame " << tick;
                    } else {
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
    s.backgroundPixels = pixels;
}

// The ring shows the focused control only once a key has moved the focus:
// the mouse changes no pixel of it, a press keeps it (as Windows keeps its
// focus cues) and the system's word hides it. On either screen it lies
// around its control alone.
TEST_F(MainScreenTest, TheFocusRingShowsOnlyAfterAKey) {
    StandInWindow window;
    const Pixels untouched = render().pixels;
    const auto useMouse = [&] {
        for (const auto& [x, y] : {std::pair{100, 300}, {450, 100}}) {
            handleMouseMove(x, y);
            handleLeftButtonDown(window.handle, x, y);
        }
        return render().pixels;
    };
    EXPECT_EQ(differingPixels(useMouse(), untouched), 0);
    handleKeyDown(window.handle, VK_TAB);
    const Pixels ringed = render().pixels;
    EXPECT_GT(differingPixels(ringed, untouched), 0);
    EXPECT_EQ(differingPixels(useMouse(), ringed), 0);
    updateFocusCues(MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS));
    EXPECT_EQ(differingPixels(render().pixels, untouched), 0);
    for (int32_t stop = 0; stop < kFocusStopCount; ++stop) {
        drawAtDpi(stop % 2 ? 192 : 96);  // every other stop at 200 %
        s.settingsOpen = stop >= kFirstPanelStop;
        s.focusedControl = stop;
        s.focusRingShown = false;
        const Frame without = render();
        s.focusRingShown = true;
        const Frame with = render();
        RECT around = s.scale.rect(focusStopRect(stop));
        InflateRect(&around, s.scale.px(5), s.scale.px(5));
        int inside = 0, outside = 0;
        for (int y = 0; y < s.scale.px(kFrameHeight); ++y) {
            for (int x = 0; x < with.width; ++x) {
                if (with.at(x, y) != without.at(x, y))
                    ++(pointInRect(around, x, y) ? inside : outside);
            }
        }
        EXPECT_GT(inside, 40) << "stop " << stop;
        EXPECT_EQ(outside, 0) << "stop " << stop;
    }
}
