#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

#include "UiTestSupport.h"
#include "app/Application.h"
#include "ui/Particles.h"

// Counts every allocation of this test binary, so a test can show that a
// stretch of code allocates nothing.
namespace {
std::atomic<long> allocations{0};
}
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST_F(MainScreenTest, SpawnDrawsFiveNumbersPerDotInOrderWithinTheirRanges) {
    for (unsigned seed : {1u, 42u, 1765000000u}) {
        SCOPED_TRACE(seed);
        resetMainScreenState();
        spawnParticlesSeeded(seed);
        ASSERT_EQ(launcherState.particles.size(), 40u);
        std::srand(seed);
        for (const Particle& p : launcherState.particles) {
            const int x = std::rand() % 900, y = std::rand() % 80 + 450;
            const int speedStep = std::rand() % 100, size = std::rand() % 4 + 2;
            const int alpha = std::rand() % 100 + 150;
            volatile float speed = static_cast<float>(speedStep) / 200.0f + 0.5f;  // no x87 excess
            EXPECT_EQ(p.x, static_cast<float>(x));
            EXPECT_EQ(p.y, static_cast<float>(y));
            EXPECT_EQ(p.speed, speed);
            EXPECT_EQ(p.size, static_cast<float>(size));
            EXPECT_EQ(p.alpha, alpha);
            // The ranges the animation relies on.
            EXPECT_TRUE(p.x >= 0 && p.x <= 899 && p.y >= 450 && p.y <= 529);
            EXPECT_TRUE(p.speed >= 0.5f && p.speed <= 0.995f);
            EXPECT_NEAR((p.speed - 0.5f) * 200.0f, std::round((p.speed - 0.5f) * 200.0f), 1e-3);
            EXPECT_TRUE(p.size >= 2 && p.size <= 5 && p.alpha >= 150 && p.alpha <= 249);
        }
    }
}

TEST_F(MainScreenTest, ADotRespawnsOnlyPastTheLine) {
    // Speed 0.5 from 500: 400 ticks reach 300.0 exactly and the dot stays; the
    // 401st respawns it at 500 with a new x, keeping speed, size and alpha.
    launcherState.particles = {Particle{1000.5f, 500.0f, 0.5f, 3.0f, 200}};
    const Particle& p = launcherState.particles[0];
    for (int tick = 1; tick <= 400; ++tick) advanceParticles();
    EXPECT_TRUE(p.y == 300.0f && p.x == 1000.5f) << p.x << "," << p.y;
    advanceParticles();
    EXPECT_EQ(p.y, 500.0f);
    EXPECT_TRUE(p.x == std::floor(p.x) && p.x >= 0.0f && p.x <= 899.0f) << p.x;
    EXPECT_TRUE(p.speed == 0.5f && p.size == 3.0f && p.alpha == 200);
}

TEST_F(MainScreenTest, ATimerMessageOfAnyIdIsATickAndATickAllocatesNothing) {
    StandInWindow window;
    ASSERT_NE(window.handle, nullptr);
    spawnParticlesSeeded(7);
    Particle& first = launcherState.particles[0];
    first = Particle{10.0f, 450.0f, 0.75f, 3.0f, 200};
    for (WPARAM id : {WPARAM{1}, WPARAM{2}, WPARAM{77}}) {
        const float y = first.y;
        launcherWindowProc(window.handle, WM_TIMER, id, 0);
        EXPECT_EQ(first.y, y - 0.75f) << "timer id " << id;
    }
    const Particle* storage = launcherState.particles.data();
    const long before = allocations.load();
    for (int tick = 0; tick < 1000; ++tick) advanceParticles();  // many respawns
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_EQ(launcherState.particles.data(), storage);
    EXPECT_EQ(launcherState.particles.size(), 40u);
    for (const Particle& p : launcherState.particles) EXPECT_TRUE(p.y >= 300.0f && p.y <= 529.0f);
}
