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

namespace {

class ParticleTest : public ::testing::Test {
protected:
    void SetUp() override { resetMainScreenState(); }
    void TearDown() override { resetMainScreenState(); }
};

Particle dot(float x, float y, float speed) {
    Particle p;
    p.x = x;
    p.y = y;
    p.speed = speed;
    p.size = 3.0f;
    p.alpha = 200;
    return p;
}

bool isWhole(float value) {
    return value == std::floor(value);
}

}  // namespace

TEST_F(ParticleTest, SpawnDrawsFiveNumbersPerDotInOrder) {
    for (unsigned seed : {1u, 42u, 1765000000u}) {
        resetMainScreenState();
        spawnParticlesSeeded(seed);
        ASSERT_EQ(launcherState.particles.size(), 40u);
        std::srand(seed);
        for (const Particle& p : launcherState.particles) {
            SCOPED_TRACE(seed);
            const int x = std::rand() % 900, y = std::rand() % 80 + 450;
            const int speedStep = std::rand() % 100, size = std::rand() % 4 + 2;
            const int alpha = std::rand() % 100 + 150;
            EXPECT_EQ(p.x, static_cast<float>(x));
            EXPECT_EQ(p.y, static_cast<float>(y));
            volatile float speed = static_cast<float>(speedStep) / 200.0f + 0.5f;  // no x87 excess
            EXPECT_EQ(p.speed, speed);
            EXPECT_EQ(p.size, static_cast<float>(size));
            EXPECT_EQ(p.alpha, alpha);
            // The ranges the animation relies on.
            EXPECT_TRUE(isWhole(p.x) && p.x >= 0.0f && p.x <= 899.0f);
            EXPECT_TRUE(isWhole(p.y) && p.y >= 450.0f && p.y <= 529.0f);
            EXPECT_TRUE(p.speed >= 0.5f && p.speed <= 0.995f);
            EXPECT_NEAR((p.speed - 0.5f) * 200.0f, std::round((p.speed - 0.5f) * 200.0f), 1e-3);
            EXPECT_TRUE(p.size >= 2.0f && p.size <= 5.0f && isWhole(p.size));
            EXPECT_TRUE(p.alpha >= 150 && p.alpha <= 249);
        }
    }
}

TEST_F(ParticleTest, ADotRespawnsOnlyOnceBelowTheLine) {
    // Exactly on the line after a step: stays; below it on the next: respawns.
    launcherState.particles = {dot(1000.5f, 300.5f, 0.5f)};
    advanceParticles();
    EXPECT_EQ(launcherState.particles[0].y, 300.0f);
    EXPECT_EQ(launcherState.particles[0].x, 1000.5f);
    advanceParticles();
    EXPECT_EQ(launcherState.particles[0].y, 500.0f);
    EXPECT_NE(launcherState.particles[0].x, 1000.5f);

    // Speed 0.5 from 500: 400 ticks reach 300.0 exactly, the 401st respawns.
    launcherState.particles = {dot(1000.5f, 500.0f, 0.5f)};
    for (int tick = 1; tick <= 400; ++tick) advanceParticles();
    EXPECT_EQ(launcherState.particles[0].y, 300.0f);
    EXPECT_EQ(launcherState.particles[0].x, 1000.5f);
    advanceParticles();
    const Particle& p = launcherState.particles[0];
    EXPECT_EQ(p.y, 500.0f);
    EXPECT_TRUE(isWhole(p.x) && p.x >= 0.0f && p.x <= 899.0f);
    // Speed, size and alpha live as long as the dot.
    EXPECT_EQ(p.speed, 0.5f);
    EXPECT_EQ(p.size, 3.0f);
    EXPECT_EQ(p.alpha, 200);
}

TEST_F(ParticleTest, ATickAllocatesNothing) {
    spawnParticlesSeeded(7);
    const Particle* storage = launcherState.particles.data();
    const long before = allocations.load();
    for (int tick = 0; tick < 1000; ++tick) advanceParticles();  // many respawns
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_EQ(launcherState.particles.data(), storage);
    EXPECT_EQ(launcherState.particles.size(), 40u);
    for (const Particle& p : launcherState.particles) {
        EXPECT_TRUE(p.y >= 300.0f && p.y <= 529.0f);
    }
}

TEST_F(ParticleTest, ATimerMessageOfAnyIdAdvancesTheDots) {
    HWND window = CreateWindowExW(0, L"STATIC", L"stand-in", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    launcherState.particles = {dot(10.0f, 450.0f, 0.75f)};
    float expected = 450.0f;
    for (WPARAM id : {WPARAM{1}, WPARAM{2}, WPARAM{77}}) {
        launcherWindowProc(window, WM_TIMER, id, 0);
        expected -= 0.75f;
        EXPECT_EQ(launcherState.particles[0].y, expected) << "timer id " << id;
    }
    DestroyWindow(window);
}
