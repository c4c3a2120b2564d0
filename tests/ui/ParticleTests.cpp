#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>

#include "UiTestSupport.h"
#include "app/Application.h"
#include "ui/Particles.h"

namespace {
LauncherState& s = launcherState;
}  // namespace

// Five draws per dot, in this order, so that a seed always gives the same dots.
TEST_F(MainScreenTest, SpawnDrawsFiveNumbersPerDotInOrder) {
    for (unsigned seed : {1u, 42u, 1765000000u}) {
        resetMainScreenState();
        spawnParticlesSeeded(seed);
        ASSERT_EQ(s.particles.size(), 40u);
        std::srand(seed);
        for (const Particle& p : s.particles) {
            const int draw[] = {std::rand() % 900, std::rand() % 80 + 450, std::rand() % 100,
                                std::rand() % 4 + 2, std::rand() % 100 + 150};
            volatile float speed = static_cast<float>(draw[2]) / 200.0f + 0.5f;  // no x87 excess
            EXPECT_EQ(std::make_tuple(p.x, p.y, p.speed, p.size, p.alpha),
                      std::make_tuple(float(draw[0]), float(draw[1]), float(speed), float(draw[3]),
                                      draw[4]));
        }
    }
}

// Speed 0.5 from 500: 400 ticks reach 300.0 exactly and the dot stays; the
// 401st respawns it at 500 with a new x, keeping speed, size and alpha. Any
// timer message is a tick.
TEST_F(MainScreenTest, ADotRespawnsOnlyPastTheLine) {
    StandInWindow window;
    s.particles = {Particle{1000.5f, 500.0f, 0.5f, 3.0f, 200}};
    const Particle& p = s.particles[0];
    for (int tick = 1; tick <= 400; ++tick)
        launcherWindowProc(window.handle, WM_TIMER, tick % 3, 0);
    EXPECT_TRUE(p.y == 300.0f && p.x == 1000.5f) << p.x << "," << p.y;
    advanceParticles();
    EXPECT_EQ(p.y, 500.0f);
    EXPECT_TRUE(p.x == std::floor(p.x) && p.x >= 0.0f && p.x <= 899.0f) << p.x;
    EXPECT_TRUE(p.speed == 0.5f && p.size == 3.0f && p.alpha == 200);
}
