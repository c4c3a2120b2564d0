#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "UiTestSupport.h"
#include "app/Application.h"
#include "ui/Particles.h"

namespace {
LauncherState& s = launcherState;
}  // namespace

// Five draws per dot, in this order, so that a seed always gives the same
// dots; in window pixels at its scale, on whole columns.
TEST_F(MainScreenTest, SpawnDrawsFiveNumbersPerDotInOrder) {
    for (const auto& [seed, dpi] : {std::pair{1u, 96}, {42u, 144}, {1765000000u, 192}}) {
        resetMainScreenState();
        const Scale scale = s.scale = Scale{dpi};
        spawnParticlesSeeded(seed);
        ASSERT_EQ(s.particles.size(), 40u);
        std::srand(seed);
        for (const Particle& p : s.particles) {
            const int draw[] = {std::rand() % 900, std::rand() % 80 + 450, std::rand() % 100,
                                std::rand() % 4 + 2, std::rand() % 100 + 150};
            volatile float speed = static_cast<float>(draw[2]) / 200.0f + 0.5f;  // no x87 excess
            EXPECT_EQ(std::make_tuple(p.x, p.y, p.speed, p.size, p.alpha),
                      std::make_tuple(float(scale.px(draw[0])), scale.size(float(draw[1])),
                                      scale.size(speed), scale.size(float(draw[3])), draw[4]));
        }
    }
}

// At 200 %, speed 1 from 1000: 400 ticks reach the line at 600.0 exactly and
// the dot stays; the 401st respawns it at 1000 on a whole column of the
// window, keeping speed, size and alpha. Any timer message is a tick.
TEST_F(MainScreenTest, ADotRespawnsOnlyPastTheLine) {
    StandInWindow window;
    s.scale = Scale{192};
    s.particles = {Particle{2001.0f, 1000.0f, 1.0f, 6.0f, 200}};
    const Particle& p = s.particles[0];
    for (int tick = 1; tick <= 400; ++tick)
        launcherWindowProc(window.handle, WM_TIMER, tick % 3, 0);
    EXPECT_TRUE(p.y == 600.0f && p.x == 2001.0f) << p.x << "," << p.y;
    advanceParticles();
    EXPECT_EQ(p.y, 1000.0f);
    EXPECT_TRUE(p.x == std::floor(p.x) && p.x >= 0.0f && p.x <= 1798.0f) << p.x;
    EXPECT_TRUE(p.speed == 1.0f && p.size == 6.0f && p.alpha == 200);
}
