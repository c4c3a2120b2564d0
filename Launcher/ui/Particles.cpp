// Interim: no dots yet.
#include "ui/Particles.h"

#include "app/LauncherState.h"

void spawnParticles() {}
void advanceParticles() { requestRepaint(); }
void drawParticles(Gdiplus::Graphics&) {}
