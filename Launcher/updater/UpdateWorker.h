// The background thread that runs one update pass and reports into the state.
#pragma once

#include <windows.h>

DWORD WINAPI UpdateWorker(LPVOID);
