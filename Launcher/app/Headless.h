// Launcher.exe --update-only: the update pass without a window, for internet
// cafés and operators' QA bringing game folders up to date unattended.
#pragma once

#include <string>

// Exit codes of a run with --update-only.
enum UpdateOnlyExit : int {
    kUpToDate = 0,
    kConnectionFailed = 1,
    kDamaged = 2,
    kInUse = 3,
    kNoDiskSpace = 4,
    kNotVerified = 5,
    kOffline = 6,
    kAnotherLauncher = 7,
    kCannotStart = 8,
};

// Whether the command line (as GetCommandLineW gives it, the program first)
// holds the argument `wanted`; every other argument is ignored.
bool hasArgument(const std::wstring& commandLine, const std::wstring& wanted);

// The pass as the launcher runs it, but without a window and without
// starting the game: one line per fetched file and the outcome text go to the
// standard output this process inherited, if any (no console is made). A new
// Launcher.exe is moved in, said so, and not started. Returns the exit code.
int runUpdateOnly();
