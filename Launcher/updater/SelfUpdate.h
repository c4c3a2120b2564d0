// Replacing the launcher's own file while it runs. Windows will not overwrite
// or delete a running program, but it lets it be renamed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// When `target`, a path relative to the game folder (the current directory),
// is the running launcher's own file, replaces it with replaceRunningProgram,
// sets `replaced` to whether that worked (launcherReplaced() then turns true)
// and returns true; otherwise does nothing and returns false.
// `targetSize` is the size of the file at `target`: only a file as long as the
// running launcher's is looked at more closely.
bool replaceIfRunningLauncher(const std::wstring& staging, const std::wstring& target,
                              std::uint64_t targetSize, bool& replaced);

// Renames `program` aside to "<program>.launcher-old" (replacing an older one)
// and moves `staging` into its place; if that second move fails, moves the
// old file back and returns false. Each move waits out a file held for a
// moment by another program.
bool replaceRunningProgram(const std::wstring& staging, const std::wstring& program);

// Waits until no replaceRunningProgram is between its moves (each move is
// bounded), and keeps any from starting afterwards: called before the process
// ends, so it never leaves the folder without a launcher.
void finishSelfUpdate();

// This process has replaced its own file: the new one should be started.
bool launcherReplaced();

// Deletes "<program>.launcher-old". While the old launcher is still on its
// way out the file stays locked for a moment, so it tries for up to a second;
// a file still locked is left for the next start.
void removeOldLauncher(const std::wstring& program);
