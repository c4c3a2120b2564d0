#include "ui/Particles.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/Gdiplus.h"
#include "core/Handles.h"
#include "draw/Geometry.h"

namespace {

constexpr float kRespawnLine = 300.0f;
constexpr float kRespawnHeight = 500.0f;

// 32-bit x87 builds may keep `y - speed` in 80 bits; reading it back through
// a float in memory makes the respawn test see the float the dot holds, so a
// dot that lands exactly on the line stays there for one tick.
float storedAsFloat(float value) {
    volatile float stored = value;
    return stored;
}

// Dots start on whole columns at any scale: kept dot shapes are made once per column.
float spawnColumn(const Scale& scale) {
    return static_cast<float>(scale.px(std::rand() % kWindowWidth));
}

}  // namespace

uint32_t particleColour(const Particle& particle) {
    return (static_cast<uint32_t>(particle.alpha) & 0xFFu) << 24 | 0x00FF8C00u;
}

void spawnParticlesSeeded(unsigned seed) {
    const Scale& scale = launcherState.scale;
    std::srand(seed);
    launcherState.particles.reserve(launcherState.particles.size() + kParticleCount);
    for (int i = 0; i < kParticleCount; ++i) {
        // Five draws per dot, in this order, so a seed always gives the same dots.
        Particle particle;
        particle.x = spawnColumn(scale);
        particle.y = scale.size(static_cast<float>(std::rand() % 80 + 450));
        particle.speed = scale.size(static_cast<float>(std::rand() % 100) / 200.0f + 0.5f);
        particle.size = scale.size(static_cast<float>(std::rand() % 4 + 2));
        particle.alpha = std::rand() % 100 + 150;
        launcherState.particles.push_back(particle);
    }
}

void rescaleParticles(const Scale& from, const Scale& to) {
    const float ratio = static_cast<float>(to.dpi) / static_cast<float>(from.dpi);
    for (Particle& particle : launcherState.particles) {
        particle.x = std::floor(particle.x * ratio);
        particle.y *= ratio;
        particle.speed *= ratio;
        particle.size *= ratio;
    }
}

void spawnParticles() {
    spawnParticlesSeeded(static_cast<unsigned>(std::time(nullptr)));
}

void stepParticles(std::vector<Particle>& particles) {
    const Scale& scale = launcherState.scale;
    const float line = scale.size(kRespawnLine);
    const float height = scale.size(kRespawnHeight);
    for (Particle& particle : particles) {
        particle.y = storedAsFloat(particle.y - particle.speed);
        if (particle.y < line) {
            particle.y = height;
            particle.x = spawnColumn(scale);
        }
    }
}

RECT particleBounds(const Particle& particle) {
    const RECT area{static_cast<LONG>(std::floor(particle.x)) - 2,
                    static_cast<LONG>(std::floor(particle.y)) - 2,
                    static_cast<LONG>(std::ceil(particle.x + particle.size)) + 2,
                    static_cast<LONG>(std::ceil(particle.y + particle.size)) + 2};
    const RECT window = launcherState.scale.rect(kWindowRect);
    RECT inside{};
    IntersectRect(&inside, &area, &window);
    return inside;
}

HRGN tickParticles() {
    // Kept from tick to tick, so that a tick allocates nothing. One region,
    // one request: the window server sees a single call per tick.
    static const UniqueRegion changed(CreateRectRgn(0, 0, 0, 0));
    static const UniqueRegion box(CreateRectRgn(0, 0, 0, 0));
    SetRectRgn(changed.get(), 0, 0, 0, 0);
    const auto addPlaces = [] {
        for (const Particle& particle : launcherState.particles) {
            const RECT r = particleBounds(particle);
            SetRectRgn(box.get(), r.left, r.top, r.right, r.bottom);
            CombineRgn(changed.get(), changed.get(), box.get(), RGN_OR);
        }
    };
    addPlaces();
    stepParticles(launcherState.particles);
    addPlaces();
    return changed.get();
}

void drawParticles(Gdiplus::Graphics& graphics) {
    for (const Particle& particle : launcherState.particles) {
        Gdiplus::SolidBrush brush{Gdiplus::Color(particleColour(particle))};
        graphics.FillEllipse(&brush, particle.x, particle.y, particle.size, particle.size);
    }
}

void drawParticle(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush,
                  const Particle& particle) {
    brush.SetColor(Gdiplus::Color(particleColour(particle)));
    graphics.FillEllipse(&brush, particle.x, particle.y, particle.size, particle.size);
}

void drawParticles(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush) {
    for (const Particle& particle : launcherState.particles)
        drawParticle(graphics, brush, particle);
}
