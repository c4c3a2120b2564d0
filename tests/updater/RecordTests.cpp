#include "TestSupport.h"
#include "updater/BlockMatcher.h"
#include "updater/VerificationRecords.h"

using namespace testing_support;

namespace {

constexpr std::uint64_t kHour = 3600 * kSecond;
const std::uint64_t kNow = 133000000000000000ull;  // in 2022

VerificationRecord recordOf(const FileStamp& stamp, const std::string& content,
                            std::uint64_t verifiedAt = kNow - kHour) {
    VerificationRecord record{stamp, verifiedAt, {}};
    const std::string digest = unhex(sha256Of(content));
    std::copy(digest.begin(), digest.end(), record.digest.begin());
    return record;
}

void setWriteTime(const std::wstring& path, std::uint64_t time) {
    UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    const FILETIME at{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &at));
}

std::uint64_t writeTimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

}  // namespace

// One entry decided with a record (or none), the file's stamp before and
// after its read, and what the read gives: whether it is current, whether
// it was read, and the record it leaves (k: the known one, n: a new one).
TEST(VerificationRecordTest, AFileIsReadUnlessItsRecordVouchesForIt) {
    const ManifestEntry entry("a.bin", sha256Of("content"), 7);
    const FileStamp old{7, kNow - kHour, 1, 5};
    FileStamp touched = old, moved = old, otherDisk = old, longer = old, fresh = old;
    touched.writeTime += 1, moved.fileIndex = 6, otherDisk.volume = 2, longer.size = 8;
    fresh.writeTime = kNow - kSecond;
    const VerificationRecord known = recordOf(old, "content"), stale = recordOf(old, "o-tent");
    // clang-format off
    const struct { const char* name; const VerificationRecord* known; std::vector<std::optional<FileStamp>> stats;
                   std::string read; bool current, hashed; char left; } cases[] = {
        {"vouched", &known, {old}, "", true, false, 'k'},
        {"other digest", &stale, {old}, "", false, false, 'k'},
        {"no record", nullptr, {old, old}, "content", true, true, 'n'},
        {"touched", &known, {touched, touched}, "content", true, true, 'n'},
        {"other file", &known, {moved, moved}, "content", true, true, 'n'},
        {"other volume", &known, {otherDisk, otherDisk}, "content", true, true, 'n'},
        {"other length", &known, {longer}, "", false, false, '-'},
        {"missing", &known, {std::nullopt}, "", false, false, '-'},
        {"written while read", nullptr, {old, touched}, "content", true, true, '-'},
        {"written just now", nullptr, {fresh, fresh}, "content", true, true, '-'},
        {"other bytes", &known, {touched, touched}, "o-tent", false, true, '-'},
        {"unreadable", nullptr, {old, old}, "", false, true, '-'}};
    // clang-format on
    for (const auto& c : cases) {
        std::size_t stats = 0;
        bool read = false;
        const CheckOutcome got = checkFile(
            entry, c.known, kNow,
            [&] { return stats < c.stats.size() ? c.stats[stats++] : FileStamp{}; },
            [&] {
                read = true;
                return c.read.empty() ? "" : sha256Of(c.read);
            });
        EXPECT_EQ(std::make_pair(got.current, got.hashed), std::make_pair(c.current, c.hashed)) << c.name;
        EXPECT_EQ(read, c.hashed) << c.name;
        EXPECT_EQ(got.record.has_value(), c.left != '-') << c.name;
        if (c.left == 'k' && got.record) EXPECT_EQ(got.record->verifiedAt, c.known->verifiedAt) << c.name;
        if (c.left == 'n' && got.record)
            EXPECT_TRUE(got.record->stamp == c.stats[0] && got.record->verifiedAt == kNow &&
                        got.record->digest == known.digest) << c.name;
    }
    // Ages in hours of records of 100 bytes and hours since the last save;
    // the records left. Past a week, or from the future, none is trusted; the
    // ones past a day go oldest first, as many as the share of a week since
    // the last save is of the bytes.
    const struct { std::vector<int> ages; int sinceSave; std::vector<bool> left; } ages[] = {
        {{169, 167, -1}, 0, {false, true, false}}, {{72, 48, 12}, 24, {true, true, true}},
        {{72, 48, 12}, 84, {false, true, true}}, {{72, 48, 12}, 200, {false, false, true}}};
    for (const auto& c : ages) {
        std::vector<std::optional<VerificationRecord>> records;
        for (const int age : c.ages) records.push_back(recordOf({100}, "", kNow - age * kHour));
        retireRecords(records, kNow, kNow - c.sinceSave * kHour);
        for (std::size_t i = 0; i < records.size(); ++i)
            EXPECT_EQ(records[i].has_value(), c.left[i]) << c.sinceSave << " h, record " << i;
    }
}

// A pass records the files it read and fetched, and the next one reads only
// what changed since; whatever makes the records unreadable or untrusted
// makes it read everything again, and then write them anew.
TEST(VerificationRecordTest, UnchangedFilesAreNotReadAgain) {
    const std::vector<FileSpec> files = {
        {"a.bin", patternBytes(20000)}, {"d/b.bin", "bee"}, {"c.bin", "sea"}};
    const std::string records = "Launcher.verified";
    const auto rewrite = [&](Sandbox& s, const std::function<void(std::string&)>& change) {
        std::string bytes = s.content(records);
        change(bytes);
        ASSERT_TRUE(writeFile(s.at(records), bytes));
    };
    const auto reseal = [](std::string& bytes) {
        bytes.resize(bytes.size() - 4);
        bytes += littleEndian(zlibCrc32(0, bytes.data(), bytes.size()), 4);
    };
    // clang-format off
    const struct { const char* name; std::function<void(Sandbox&, PatchSite&)> change; int read;
                   Requests fetched; bool verify = false; } cases[] = {
        {"unchanged", [](Sandbox&, PatchSite&) {}, 0, {}},
        {"verify", [](Sandbox&, PatchSite&) {}, 3, {}, true},
        {"damaged", [&](Sandbox& s, PatchSite&) { rewrite(s, [](std::string& b) { b[30] ^= 1; }); }, 3, {}},
        {"cut short", [&](Sandbox& s, PatchSite&) { rewrite(s, [](std::string& b) { b.pop_back(); }); }, 3, {}},
        {"foreign", [&](Sandbox& s, PatchSite&) { s.put(records, "PK\3\4, an archive"); }, 3, {}},
        {"future", [&](Sandbox& s, PatchSite&) { rewrite(s, [&](std::string& b) { b[4] = 2, reseal(b); }); }, 3, {}},
        {"week old", [&](Sandbox& s, PatchSite&) {
            std::uint64_t saved = 0;
            std::vector<std::pair<std::string, VerificationRecord>> all;
            ASSERT_TRUE(decodeRecords(s.content(records), saved, [&](std::string_view path, const VerificationRecord& r) {
                all.emplace_back(path, r);
                all.back().second.verifiedAt -= 8 * 24 * kHour;
            }));
            std::vector<NamedRecord> named;
            for (const auto& [path, r] : all) named.emplace_back(path, &r);
            s.put(records, encodeRecords(saved, named));
        }, 3, {}},
        {"same length", [](Sandbox& s, PatchSite&) { s.put("a.bin", patternBytes(19999) + "x"); }, 1, {"a.bin"}},
        {"replaced", [](Sandbox& s, PatchSite&) {
            s.put("a.new", patternBytes(19999) + "x");
            setWriteTime(s.at("a.new"), writeTimeOf(s.at("a.bin")));
            ASSERT_TRUE(MoveFileExW(s.at("a.new").c_str(), s.at("a.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
        }, 1, {"a.bin"}},
        {"new version", [&](Sandbox&, PatchSite& site) {
            site.file("d/b.bin", "BEE");
            site.manifest(manifestFor({files[0], {"d/b.bin", "BEE"}, files[2]}));
        }, 0, {"d/b.bin"}}};
    // clang-format on
    for (const auto& c : cases) {
        Sandbox sandbox(std::string("records-") + c.name);
        PatchSite site("records");
        for (const FileSpec& f : files) {
            site.file(f.path, f.content);
            sandbox.put(f.path, f.content);
            setWriteTime(sandbox.at(f.path), writeTimeOf(sandbox.at(f.path)) - kHour);
        }
        site.manifest(manifestFor(files));
        const CheckCounts first = checkCounts();
        ASSERT_TRUE(site.pass()) << c.name;
        EXPECT_EQ(checkCounts().hashed - first.hashed, 3u) << c.name;
        c.change(sandbox, site);
        // Then the pass that follows the change, and one more, which reads nothing.
        for (const bool again : {false, true}) {
            const int read = again ? 0 : c.read;
            clearRequestLog();
            const CheckCounts before = checkCounts();
            Updater updater = site.updater();
            updater.verifyAll = c.verify && !again;
            EXPECT_EQ(updater.runPass(), UpdateFailure::None) << c.name;
            EXPECT_EQ(checkCounts().hashed - before.hashed, std::uint64_t(read)) << c.name;
            Requests expected{"manifest.json"};
            if (!again) expected.insert(expected.end(), c.fetched.begin(), c.fetched.end());
            EXPECT_EQ(site.requests(), expected) << c.name;
        }
    }
}
