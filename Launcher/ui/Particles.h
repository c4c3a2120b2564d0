// The ambient animation: forty orange dots rising behind the controls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "core/LauncherState.h"

namespace Gdiplus {
class Graphics;
class SolidBrush;
}  // namespace Gdiplus

constexpr int kParticleCount = 40;

void spawnParticles();
// spawnParticles with a chosen seed instead of the clock.
void spawnParticlesSeeded(unsigned seed);
// The dots moved, sized and sped as they would be at `to`, the window's new
// scale (spawning and respawning follow the window's scale by themselves).
void rescaleParticles(const Scale& from, const Scale& to);
// Moves every dot up by its speed and respawns those above the line;
// updates in place, so a tick never allocates.
void stepParticles(std::vector<Particle>& particles);
// One timer tick: moves every dot and respawns those above the line. Returns
// the dots' old and new places, all that a tick changes on screen, as a
// region kept here and valid until the next tick.
HRGN tickParticles();
// The pixels drawing the dot can change: its bounding square with two pixels
// to spare for smoothing, inside the window at its scale.
RECT particleBounds(const Particle& particle);
void drawParticles(Gdiplus::Graphics& graphics);
// The same dots filled with one brush recoloured per dot.
void drawParticles(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush);
// The dot's colour: its alpha over the accent orange.
uint32_t particleColour(const Particle& particle);
// One dot, filled with `brush` recoloured to the dot's colour.
void drawParticle(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush,
                  const Particle& particle);
