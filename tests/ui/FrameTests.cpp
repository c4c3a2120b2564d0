#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "ui/Particles.h"

namespace {

constexpr uint32_t kTrack = 0x282828, kBar = 0x00B478;
LauncherState& s = launcherState;

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

// Neither the kept picture, fonts and controls' layer nor the window's buffer,
// repaired around the dots rather than redrawn whole, may change a single
// pixel. Every state is drawn the plain way and the shipped way, first into a
// bitmap, then through the window frame after frame (the last one after a frame
// drawn elsewhere), with the same kept pieces from state to state, without and
// with dots that move, jump and are replaced.
TEST_F(MainScreenTest, ShippedFramesAndTheWindowShowThePlainPassPixels) {
    Gdiplus::Image* const picture = s.backgroundImage;
    StandInWindow window;
    ShowWindow(window.handle, SW_SHOWNOACTIVATE);
    OffscreenBitmap shown(nullptr, kFrameWidth, kFrameHeight);
    // clang-format off
    // flags: 1 the pass has succeeded, 2 the panel is open, 4 its list too, 8 no picture.
    const struct { bool* hover; int percent; const wchar_t* status; int flags; } states[] = {
        {nullptr, 0, L"", 0}, {&s.newsHover, 0, L"", 0}, {&s.startHover, 0, L"", 0},
        {&s.closeHover, 0, L"", 0}, {nullptr, 1, L"", 0}, {nullptr, 0, L"", 2},
        {nullptr, 0, L"", 6},
        {nullptr, 37, L"Downloading: data/textures/terrain.pak", 0},
        {nullptr, 100, L"All files are up to date!", 1},
        {&s.settingsHover, 64, L"Downloading: data/client.pak", 0},
        {nullptr, 0, L"Error: Check your connection.", 8}};
    // Random dots plus dots on the edges of the buttons, the bar's end and the
    // status text, overlapping ones (where the order of drawing shows) and
    // lone ones sharing a colour.
    const float spots[][3] = {{78, 300.37f, 249}, {258, 328.37f, 249}, {618, 455.37f, 249},
        {855, 388.37f, 249}, {355, 498.37f, 249}, {120, 478.37f, 249}, {797, 517.37f, 249},
        {98, 505.37f, 249}, {400, 320, 150}, {402, 321.5f, 249}, {401, 322.25f, 150},
        {30, 360, 249}, {32.5f, 361, 200}, {600, 340, 150}};
    // clang-format on
    unsigned seed = 0;
    for (bool throughWindow : {false, true}) {
        for (bool dots : {false, true}) {
            for (const auto& state : states) {
                SCOPED_TRACE(::testing::Message()
                             << "state " << &state - states << (dots ? ", dots" : "")
                             << (throughWindow ? ", window" : ""));
                resetMainScreenState();
                s.backgroundImage = state.flags & 8 ? nullptr : picture;
                if (state.hover) *state.hover = true;
                s.progressPercent = state.percent;
                s.statusDetail.set(state.status);
                s.updateFinished = s.updateSucceeded = state.flags & 1;
                s.settingsOpen = state.flags & 2;
                s.resolutionListOpen = state.flags & 4;
                s.hoveredResolutionRow = state.flags & 4 ? 2 : -1;
                if (dots) spawnParticlesSeeded(++seed);  // new dots: they jump
                for (const auto& d : spots)
                    if (dots) s.particles.push_back(Particle{d[0], d[1], 0, 5, int32_t(d[2])});
                // A new state is drawn directly first, then through the kept
                // layer, then repaired around the dots, then after a frame
                // drawn elsewhere. The dots jump as on a respawn (one of
                // them under a button, one just before the frame elsewhere).
                for (int tick = 0; tick < 4; ++tick) {
                    if (dots && tick == 1) s.particles[0].x = 450, s.particles[1].x = 150;
                    if (dots && tick == 1) s.particles[0].y = 500, s.particles[1].y = 310;
                    if (dots && tick >= 2) s.particles[tick].x = 700, s.particles[tick].y = 500;
                    const Pixels plain = render(drawMainScreenPlain).pixels;
                    if (!throughWindow) {
                        EXPECT_EQ(differingPixels(plain, render().pixels), 0) << "frame " << tick;
                    } else {
                        if (tick == 3) render();  // a frame drawn elsewhere meanwhile
                        InvalidateRect(window.handle, nullptr, FALSE);
                        paintWindow(window.handle);
                        HDC windowDc = GetDC(window.handle);
                        BitBlt(shown.dc(), 0, 0, kFrameWidth, kFrameHeight, windowDc, 0, 0,
                               SRCCOPY);
                        ReleaseDC(window.handle, windowDc);
                        EXPECT_EQ(differingPixels(plain, shown.pixels()), 0) << "frame " << tick;
                    }
                    stepParticles(s.particles);
                }
            }
        }
    }
    s.backgroundImage = picture;
}
