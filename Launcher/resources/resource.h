// Resource ids of the launcher's own resources.
#pragma once

#define IDI_LAUNCHER 107
#define IDC_LAUNCHER_CURSOR 129
#define IDR_BACKGROUND_PNG 132
// The same picture as 900 x 550 rows of 32-bit pixels; empty when it must be decoded.
#define IDR_BACKGROUND_PIXELS 133
