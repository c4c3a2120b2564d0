// What the pass remembers of the files it verified, in Launcher.verified in
// the game folder: a file whose size, last-write time and identity are those
// it had when its digest was verified is not read again, for up to 7 days.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "updater/Manifest.h"

// Times are FILETIMEs: 100 ns units since 1601, UTC.
constexpr std::uint64_t kSecond = 10000000;
constexpr std::uint64_t kDay = 86400 * kSecond;
// The longest a record is trusted: every file is read again at least weekly.
constexpr std::uint64_t kRecordTrust = 7 * kDay;

// One metadata query's answer about a file.
struct FileStamp {
    std::uint64_t size = 0;
    std::uint64_t writeTime = 0;
    std::uint32_t volume = 0;     // the volume's serial number
    std::uint64_t fileIndex = 0;  // the file's index on that volume
};
bool operator==(const FileStamp& a, const FileStamp& b);
inline bool operator!=(const FileStamp& a, const FileStamp& b) { return !(a == b); }

struct VerificationRecord {
    FileStamp stamp;
    std::uint64_t verifiedAt = 0;
    std::array<unsigned char, 32> digest{};  // the SHA-256 verified
};

// How one entry was decided, and the record it leaves (none: the file is
// read at the next start).
struct CheckOutcome {
    bool current = false;
    bool hashed = false;
    std::optional<VerificationRecord> record;
};

// Decides one entry with `known` (its record, may be null) at time `now`;
// `stat` answers for the file (none: missing, a folder, or unreadable) and
// `hash` reads it, giving its SHA-256 in lowercase hex ("" on failure).
CheckOutcome checkFile(const ManifestEntry& entry, const VerificationRecord* known,
                       std::uint64_t now, const std::function<std::optional<FileStamp>()>& stat,
                       const std::function<std::string()>& hash);

// Drops the records no longer trusted at `now`: older than kRecordTrust or
// from the future, and, so that the weekly re-reading is spread over the
// starts, the longest-trusted ones past a day old that fit in the share of
// the recorded bytes that the time since `lastSaved` is of a week.
void retireRecords(std::vector<std::optional<VerificationRecord>>& records, std::uint64_t now,
                   std::uint64_t lastSaved);

using NamedRecord = std::pair<std::string_view, const VerificationRecord*>;
// The record file: a versioned header, the records, a CRC-32 of it all.
std::string encodeRecords(std::uint64_t savedAt, const std::vector<NamedRecord>& records);
// False, having called `each` for none, unless `bytes` is a whole record file
// of this version.
bool decodeRecords(const std::string& bytes, std::uint64_t& savedAt,
                   const std::function<void(std::string_view, const VerificationRecord&)>& each);

// The records of one pass over `entries` in the game folder (the current
// directory). On a volume without stable file identities and write times
// (anything but NTFS and ReFS) it neither reads nor writes any. Check and
// fetched may be called from several threads, each entry from one.
class VerificationRecords {
public:
    // ignoreKnown: decide every entry by its digest (--verify), recording anew.
    VerificationRecords(const std::vector<ManifestEntry>& entries, bool ignoreKnown);
    VerificationRecords(const VerificationRecords&) = delete;
    VerificationRecords& operator=(const VerificationRecords&) = delete;

    // Entry i's decision: by its record when that still vouches for the file.
    bool upToDate(std::size_t i, std::vector<unsigned char>& block);
    // The entry of that path is in place, fetched and verified.
    void fetched(const std::string& path);
    // Logs what the checks read, then saves.
    void checksDone();
    // Writes the record file if anything changed.
    void save();
    // The same, at most every 30 s: during a long pass.
    void saveIfDue();

private:
    void store(std::size_t i, std::optional<VerificationRecord> record);

    const std::vector<ManifestEntry>& entries_;
    const bool enabled_;
    const std::uint64_t now_;  // the pass's start: the time of its checks
    std::unordered_map<std::string_view, std::size_t> byPath_;
    std::vector<std::optional<VerificationRecord>> records_;  // by entry; written under mutex_
    std::mutex mutex_;
    bool dirty_ = false;
    std::uint64_t lastSave_;  // GetTickCount64
    std::atomic<std::uint64_t> byRecord_{0}, hashed_{0}, bytesHashed_{0};
};

// The files the checks of this process decided by their records, and the
// files and bytes they read. For tests and benchmarks.
struct CheckCounts {
    std::uint64_t byRecord = 0, hashed = 0, bytesHashed = 0;
};
CheckCounts checkCounts();
