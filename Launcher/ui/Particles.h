// The ambient animation: forty orange dots rising behind the controls.
#pragma once

namespace Gdiplus {
class Graphics;
}

void spawnParticles();
// One timer tick: moves every dot, respawns those above the line, repaints.
void advanceParticles();
void drawParticles(Gdiplus::Graphics& graphics);
