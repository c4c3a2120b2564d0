// Moving files in the game folder where other programs may hold them for a
// moment, and telling whether two paths name the same file.
#pragma once

#include <windows.h>

#include <string>

// How long a move waits out a file held by another program (an antivirus
// scanner opening a freshly written file without delete sharing).
constexpr DWORD kHeldFileWaitMs = 3000;

// MoveFileExW, tried again with short waits for up to kHeldFileWaitMs while
// it fails with a sharing violation or access denied. On failure the last
// error is the move's.
bool moveFileWaiting(const std::wstring& from, const std::wstring& to, DWORD flags);

// True when both paths name one existing file, by its identity (volume serial
// number and file index), whatever their spelling: case, short names, subst
// drives and junctions. False when either cannot be opened.
bool sameFile(const std::wstring& a, const std::wstring& b);
