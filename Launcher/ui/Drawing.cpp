// Interim: no shapes yet.
#include "ui/Drawing.h"

void fillRoundedRect(Gdiplus::Graphics&, int, int, int, int, int, Gdiplus::ARGB) {}
