// Resource ids of the launcher's own resources.
#pragma once

#define IDI_LAUNCHER 107
#define IDC_LAUNCHER_CURSOR 129
#define IDR_BACKGROUND_PNG 132
// The same picture as 900 x 550 rows of 32-bit pixels; empty when it must be decoded.
#define IDR_BACKGROUND_PIXELS 133
// The picture at twice the size (1800 x 1100), for windows at 150 % and more.
#define IDR_BACKGROUND_PNG_2X 134
