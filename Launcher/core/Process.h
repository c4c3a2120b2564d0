// The process's folders and starting other programs.
#pragma once

#include <windows.h>

#include <string>

// The process's current directory, read at whatever length it has; empty if
// it cannot be read.
std::wstring currentDirectory();

// The full path of the running program's file; empty if it cannot be read.
std::wstring runningModulePath();

// The running program's file version ("1.0.0.1") from its version record;
// "unknown" without one.
std::string launcherVersion();

// Starts `program` in `directory` with no arguments and does not wait for it.
// False when it could not be started.
bool startProgram(const std::wstring& program, const std::wstring& directory);
