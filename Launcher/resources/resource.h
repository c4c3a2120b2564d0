// Resource ids of the launcher's own resources.
#pragma once

#define IDI_LAUNCHER 107
#define IDC_LAUNCHER_CURSOR 129
#define IDR_BACKGROUND_PNG 132
