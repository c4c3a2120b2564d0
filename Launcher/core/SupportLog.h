// Launcher.log in the game folder: what support needs to know of a run, one
// block of lines per run, each after a UTC timestamp. No user name, no
// secrets, no paths outside the game folder go into it.
#pragma once

#include <cstdint>
#include <string>

// The log's name in the game folder, and its one older generation.
inline constexpr char kLogName[] = "Launcher.log";
inline constexpr char kOldLogName[] = "Launcher.log.old";

// Starts the log at `path` (the game folder's Launcher.log unless a test
// says otherwise), renamed to the ".old" name once it reaches `limit` bytes.
// Until then nothing is logged.
void openSupportLog(const std::wstring& path = L"Launcher.log",
                    std::uint64_t limit = std::uint64_t{1} << 20);

// Starts the writer thread; until then (or the first flush) the lines wait in
// memory, so that a window's first frame never waits for a thread or a disk.
void startSupportLogWriter();

// Adds a line; one writer thread appends the lines in order, so no caller
// ever waits for the disk. A log that cannot be written is skipped.
void logLine(const std::string& text);

// Waits, at most `ms`, until every line added so far is written or given up;
// starts the writer if need be.
void flushSupportLog(unsigned ms);

// Text for a line from UTF-16 that is ASCII by nature (host names, URL paths,
// status texts); anything else shows as '?'.
std::string asciiText(const std::wstring& text);

// A moment given in seconds since 1970 as "2027-01-06 12:00:00 UTC"; a moment
// past the year 9999 stays a number of seconds.
std::string utcText(std::uint64_t unixSeconds);
