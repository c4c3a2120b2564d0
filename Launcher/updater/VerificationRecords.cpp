#include "updater/VerificationRecords.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "core/Handles.h"
#include "core/Process.h"
#include "core/SupportLog.h"
#include "updater/BlockMatcher.h"
#include "updater/FileHasher.h"
#include "updater/ManifestTrust.h"

namespace {

constexpr char kMagic[4] = {'Z', 'V', 'R', 'F'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 4 + 4 + 8 + 4;
constexpr std::size_t kRecordBytes = 8 + 8 + 4 + 8 + 8 + 32;  // after the path
// Far beyond any game's records; a larger file is not ours.
constexpr std::uint64_t kMaxRecordFileBytes = 256u << 20;
// Longer than any file system's timestamp steps (and the coarse clock Wine's
// files get theirs from): a file written this recently may be written again
// under the same stamp after it was read, so it gets no record yet.
constexpr std::uint64_t kSettleTime = 2 * kSecond;
constexpr ULONGLONG kSaveEveryMs = 30000;

std::atomic<std::uint64_t> totalByRecord{0}, totalHashed{0}, totalBytesHashed{0};

void putLittle(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t getLittle(const std::string& in, std::size_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

bool digestOfHex(const std::string& hex, std::array<unsigned char, 32>& digest) {
    std::string bytes;
    if (!decodeHex(hex, bytes) || bytes.size() != digest.size()) return false;
    std::memcpy(digest.data(), bytes.data(), digest.size());
    return true;
}

std::uint64_t fileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// One metadata query: the file is opened for its attributes only, which
// neither reads it nor conflicts with anyone else's sharing mode.
std::optional<FileStamp> statFile(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    FileStamp stamp;
    stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.writeTime = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                      info.ftLastWriteTime.dwLowDateTime;
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return stamp;
}

// Only file systems whose file indices stay with a file and whose write
// times change with every write make a stamp mean "the same bytes". Wine
// calls a drive mapped to a Unix folder NTFS, its indices being inodes.
bool volumeKeepsStamps() {
    const std::wstring folder = currentDirectory();
    wchar_t root[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (folder.empty() || !GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1) ||
        !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) {
        return false;
    }
    const std::wstring fileSystem = name;
    return fileSystem == L"NTFS" || fileSystem == L"ReFS";
}

bool readRecordFile(std::string& bytes) {
    UniqueFile file(CreateFileW(widenForDisplay(kRecordsName).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > kMaxRecordFileBytes) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size();
}

// A crash or a full disk leaves the old file or the new one, never a part.
bool writeRecordFile(const std::string& bytes) {
    const std::wstring target = widenForDisplay(kRecordsName);
    const std::wstring staging = target + widenForDisplay(kStagingSuffix);
    {
        UniqueFile file(CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(staging.c_str());
            return false;
        }
    }
    if (MoveFileExW(staging.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(staging.c_str());
    return false;
}

}  // namespace

bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.size == b.size && a.writeTime == b.writeTime && a.volume == b.volume &&
           a.fileIndex == b.fileIndex;
}

CheckOutcome checkFile(const ManifestEntry& entry, const VerificationRecord* known,
                       std::uint64_t now, const std::function<std::optional<FileStamp>()>& stat,
                       const std::function<std::string()>& hash) {
    CheckOutcome outcome;
    const std::optional<FileStamp> before = stat();
    // A file of another length is fetched without being read.
    if (!before || before->size != entry.size) return outcome;
    if (known && known->stamp == *before) {
        // Compared as a hash of the file would be: byte for byte.
        outcome.current = lowerHex(known->digest.data(), known->digest.size()) == entry.hash;
        outcome.record = *known;
        return outcome;
    }
    outcome.hashed = true;
    const std::string digest = hash();
    outcome.current = !digest.empty() && digest == entry.hash;
    if (!outcome.current || before->writeTime + kSettleTime > now) return outcome;
    // Written while it was read: the bytes hashed may be neither version.
    const std::optional<FileStamp> after = stat();
    VerificationRecord record{*before, now, {}};
    if (after && *after == *before && digestOfHex(digest, record.digest)) outcome.record = record;
    return outcome;
}

void retireRecords(std::vector<std::optional<VerificationRecord>>& records, std::uint64_t now,
                   std::uint64_t lastSaved) {
    std::uint64_t recordedBytes = 0;
    std::vector<std::size_t> seasoned;
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::optional<VerificationRecord>& record = records[i];
        if (!record) continue;
        if (record->verifiedAt > now || now - record->verifiedAt > kRecordTrust) {
            record.reset();
            continue;
        }
        recordedBytes += record->stamp.size;
        if (now - record->verifiedAt >= kDay) seasoned.push_back(i);
    }
    // Read as the week passes, not all on the day the first records expire.
    const std::uint64_t elapsed = lastSaved < now ? std::min(now - lastSaved, kRecordTrust) : 0;
    const double budget = static_cast<double>(recordedBytes) * static_cast<double>(elapsed) /
                          static_cast<double>(kRecordTrust);
    std::sort(seasoned.begin(), seasoned.end(), [&](std::size_t a, std::size_t b) {
        return records[a]->verifiedAt < records[b]->verifiedAt;
    });
    double spent = 0;
    for (const std::size_t i : seasoned) {
        spent += static_cast<double>(records[i]->stamp.size);
        if (spent > budget) break;
        records[i].reset();
    }
}

std::string encodeRecords(std::uint64_t savedAt, const std::vector<NamedRecord>& records) {
    std::string out(kMagic, sizeof kMagic);
    putLittle(out, kVersion, 4);
    putLittle(out, savedAt, 8);
    putLittle(out, records.size(), 4);
    for (const auto& [path, record] : records) {
        putLittle(out, path.size(), 2);
        out.append(path.data(), path.size());
        putLittle(out, record->stamp.size, 8);
        putLittle(out, record->stamp.writeTime, 8);
        putLittle(out, record->stamp.volume, 4);
        putLittle(out, record->stamp.fileIndex, 8);
        putLittle(out, record->verifiedAt, 8);
        out.append(reinterpret_cast<const char*>(record->digest.data()), record->digest.size());
    }
    putLittle(out, zlibCrc32(0, out.data(), out.size()), 4);
    return out;
}

bool decodeRecords(const std::string& bytes, std::uint64_t& savedAt,
                   const std::function<void(std::string_view, const VerificationRecord&)>& each) {
    if (bytes.size() < kHeaderBytes + 4 || bytes.compare(0, 4, kMagic, 4) != 0) return false;
    const std::size_t end = bytes.size() - 4;
    if (zlibCrc32(0, bytes.data(), end) != getLittle(bytes, end, 4)) return false;
    if (getLittle(bytes, 4, 4) != kVersion) return false;
    const std::uint64_t count = getLittle(bytes, 16, 4);
    // Once to see that the records fill the file exactly, then to hand them out.
    for (const bool handOut : {false, true}) {
        std::size_t at = kHeaderBytes;
        for (std::uint64_t n = 0; n < count; ++n) {
            if (end - at < 2) return false;
            const std::size_t length = static_cast<std::size_t>(getLittle(bytes, at, 2));
            if (end - at - 2 < length + kRecordBytes) return false;
            const std::string_view path(bytes.data() + at + 2, length);
            at += 2 + length;
            if (handOut) {
                VerificationRecord record;
                record.stamp.size = getLittle(bytes, at, 8);
                record.stamp.writeTime = getLittle(bytes, at + 8, 8);
                record.stamp.volume = static_cast<std::uint32_t>(getLittle(bytes, at + 16, 4));
                record.stamp.fileIndex = getLittle(bytes, at + 20, 8);
                record.verifiedAt = getLittle(bytes, at + 28, 8);
                std::memcpy(record.digest.data(), bytes.data() + at + 36, record.digest.size());
                each(path, record);
            }
            at += kRecordBytes;
        }
        if (at != end) return false;
    }
    savedAt = getLittle(bytes, 8, 8);
    return true;
}

VerificationRecords::VerificationRecords(const std::vector<ManifestEntry>& entries,
                                         bool ignoreKnown)
    : entries_(entries), enabled_(volumeKeepsStamps()), now_(fileTimeNow()), lastSave_(GetTickCount64()) {
    if (!enabled_) return;
    records_.resize(entries.size());
    byPath_.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) byPath_.emplace(entries[i].path, i);
    // Written at the end unless a whole file of records for exactly these
    // entries was read.
    dirty_ = true;
    std::string bytes;
    if (ignoreKnown || !readRecordFile(bytes)) return;
    std::uint64_t savedAt = 0;
    std::size_t count = 0, matched = 0;
    const bool whole = decodeRecords(bytes, savedAt, [&](std::string_view path,
                                                         const VerificationRecord& record) {
        ++count;
        const auto found = byPath_.find(path);
        if (found == byPath_.end() || records_[found->second]) return;
        records_[found->second] = record;
        ++matched;
    });
    if (!whole) {
        std::fill(records_.begin(), records_.end(), std::nullopt);
        return;
    }
    retireRecords(records_, now_, savedAt);
    dirty_ = count != matched;
}

bool VerificationRecords::upToDate(std::size_t i, std::vector<unsigned char>& block) {
    const ManifestEntry& entry = entries_[i];
    const VerificationRecord* known = enabled_ && records_[i] ? &*records_[i] : nullptr;
    CheckOutcome outcome = checkFile(
        entry, known, now_, [&] { return statFile(entry.localPath); },
        [&] { return hashFile(entry.localPath, block); });
    if (outcome.hashed) {
        ++hashed_;
        ++totalHashed;
        bytesHashed_ += entry.size;
        totalBytesHashed += entry.size;
    } else if (outcome.record) {
        ++byRecord_;
        ++totalByRecord;
    }
    // A record that still vouched for the file stays as it was, its age too.
    if (enabled_ && (outcome.hashed || !outcome.record)) store(i, std::move(outcome.record));
    return outcome.current;
}

void VerificationRecords::fetched(const std::string& path) {
    if (!enabled_) return;
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) return;
    const ManifestEntry& entry = entries_[found->second];
    const std::optional<FileStamp> stamp = statFile(entry.localPath);
    VerificationRecord record;
    if (!stamp || stamp->size != entry.size || !digestOfHex(entry.hash, record.digest)) {
        store(found->second, std::nullopt);
        return;
    }
    record.stamp = *stamp;
    record.verifiedAt = fileTimeNow();
    store(found->second, record);
}

void VerificationRecords::store(std::size_t i, std::optional<VerificationRecord> record) {
    const std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = dirty_ || record || records_[i];
    records_[i] = std::move(record);
}

void VerificationRecords::checksDone() {
    logLine("checks: " + std::to_string(byRecord_.load()) + " files current by their records, " +
            std::to_string(hashed_.load()) + " read (" + std::to_string(bytesHashed_.load()) +
            " bytes)" + (enabled_ ? "" : "; no records on this file system"));
    save();
}

void VerificationRecords::save() {
    const std::lock_guard<std::mutex> lock(mutex_);
    lastSave_ = GetTickCount64();
    if (!enabled_ || !dirty_) return;
    std::vector<NamedRecord> named;
    for (std::size_t i = 0; i < records_.size(); ++i)
        if (records_[i]) named.emplace_back(entries_[i].path, &*records_[i]);
    if (writeRecordFile(encodeRecords(fileTimeNow(), named))) dirty_ = false;
}

void VerificationRecords::saveIfDue() {
    bool due = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        due = GetTickCount64() - lastSave_ >= kSaveEveryMs;
    }
    if (due) save();
}

CheckCounts checkCounts() {
    return {totalByRecord.load(), totalHashed.load(), totalBytesHashed.load()};
}
