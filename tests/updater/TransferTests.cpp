#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "core/LauncherState.h"
#include "updater/UpdateWorker.h"

using namespace testing_support;

namespace {

// Every limit scaled down from minutes to about a second.
Updater quickUpdater(const std::string& site) {
    Updater u{kHost, "/" + site + "/", false, nullptr};
    u.limits.connectMs = u.limits.sendMs = 2000;
    u.limits.headersMs = u.limits.idleMs = 1000;
    u.limits.windowMs = 1500;
    u.limits.firstWaitMs = u.limits.laterWaitMs = 10;
    u.limits.connections = 1;   // the pool has tests of its own
    u.trust = ManifestTrust{};  // unsigned: these test the transfer
    return u;
}

}  // namespace

// Each case misbehaves on the manifest, on slow.bin (20,000 bytes, missing) or
// on big.bin (600,000 bytes, "old" on disk, maybe with a staging file left by
// a killed run). Requests are those for that file; "*" ends a prefix. A try
// that stages 64 KiB or more does not count against the three in a row. A
// failed pass leaves the old file byte-identical, and big.bin's staging file
// holding what arrived (for the next start to continue); every pass ends
// within seconds.
TEST(TransferTest, RetriesResumeAndTimeLimits) {
    const std::string content = patternBytes(600000), trickled = patternBytes(20000);
    const std::string half = content.substr(0, 250000);
    const std::string otherVersion = patternBytes(250001).substr(1);
    const std::string padded = "{\"pad\": \"" + std::string(20000, 'p') + "\", \"files\": [" +
                               entryJson("slow.bin", sha256Of(trickled), "20000") + ", " +
                               entryJson("big.bin", sha256Of(content), "600000") + "]}";
    const std::string B = "big.bin", S = "slow.bin", M = "manifest.json", r = B + " bytes=";
    const UpdateFailure none = UpdateFailure::None, net = UpdateFailure::Network;
    const struct {
        const char* name;
        UpdateFailure failure;
        std::string file;  // that misbehaves
        const char* how;
        Requests requests;
        std::string staged = "";
        double maxSent = 0;     // body bytes sent, in files of 600,000
        double minSeconds = 0;  // a Retry-After of 1 s is waited for
        std::size_t left = 0;   // bytes of big.bin staged afterwards
    } cases[] = {
        {"reset at half", none, B, "reset=300000\nfirst=1", {B, r + "300000-"}, "", 1.05},
        {"503 twice", none, B, "status=503\nfirst=2", {B, B, B}},
        {"404", net, B, "status=404", {B}},
        {"302 is not followed", net, B, "status=302", {B}},
        {"killed run resumed", none, B, "", {r + "250000-"}, half, 0.6},
        {"Range ignored", none, B, "norange", {r + "250000-"}, half, 1.05},
        {"wrong Content-Range", net, B, "badrange", {r + "250000-"}, half, 0, 0, 250000},
        {"staged bytes of another version", none, B, "", {r + "250000-", B}, otherVersion},
        {"staged file longer than the file", none, B, "", {B}, content + "x", 1.05},
        {"full staging file verified", none, B, "", {}, content, 0.01},
        {"cut thrice after progress", none, B, "reset=150000\nfirst=3",
         {B, r + "150000-", r + "300000-", r + "450000-"}, "", 1.05},
        {"cut short, then nothing", net, B, "short=100", {B, r + "*", r + "*", r + "*"}, "", 0, 0, 599900},
        {"stall in a file", net, B, "stall=1000", {B, r + "1000-", r + "2000-"}, "", 0, 0, 3000},
        {"trickle in a file", net, S, "drip=100", {S, S + " bytes=*", S + " bytes=*"}},
        {"stall in the manifest", net, M, "stall=100", {M, M, M}},
        {"trickle in the manifest", net, M, "drip=100", {M, M, M}},
        {"silent manifest", net, M, "silent", {M, M, M}},
        {"429 with Retry-After", none, M, "status=429\nretryafter=1\nfirst=1", {M, M}, "", 0, 1.0},
    };
    for (const auto& c : cases) {
        const std::string id = "transfer" + std::to_string(&c - cases);
        Sandbox sandbox(id);
        PatchSite site(id);
        site.file("big.bin", content);
        site.file("slow.bin", trickled);
        site.manifest(padded);
        site.misbehave(c.file, c.how);
        sandbox.put("big.bin", kOld);
        if (!c.staged.empty()) sandbox.put(B + kStagingSuffix, c.staged);
        const long before = sentAndPeak().first;
        const auto start = std::chrono::steady_clock::now();
        const UpdateFailure failure = quickUpdater(id).runPass();
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(failure, c.failure) << c.name;
        Requests seen;
        for (const std::string& line : site.requests()) {
            if (line.find(c.file) == std::string::npos) continue;
            const std::string want = seen.size() < c.requests.size() ? c.requests[seen.size()] : "";
            const bool any = !want.empty() && want.back() == '*';
            seen.push_back(any && line.rfind(want.substr(0, want.size() - 1), 0) == 0 ? want
                                                                                      : line);
        }
        EXPECT_EQ(seen, c.requests) << c.name;
        // Less the manifest and slow.bin, which go through unharmed.
        const long sent = sentAndPeak().first - before - long(padded.size() + 20000);
        if (c.maxSent) EXPECT_LE(sent, c.maxSent * 600000) << c.name;
        EXPECT_GE(took, c.minSeconds) << c.name;
        EXPECT_LT(took, 15.0) << c.name;
        EXPECT_EQ(sandbox.content(B), c.failure == none ? content : kOld) << c.name;
        EXPECT_EQ(sandbox.content(B + kStagingSuffix),
                  c.left ? content.substr(0, c.left) : "<missing>") << c.name;
    }
}

// With objects every file comes from its object. A compressed copy is
// inflated as it arrives, its progress in the file's bytes; one that is
// damaged, truncated, longer than signed, missing, inflating past the file's
// size (a bomb) or to another file is followed by the raw object from its
// first byte, once, and never leaves a wrong file (nor shows more than 100 %).
// A compressed transfer cut half-way, or a staging file a killed run left,
// continues with a Range on the raw object from the staged length: the
// staged bytes are not sent again; cut after the whole file, it asks nothing more.
TEST(TransferTest, CompressedObjectsAndTheirFallbacks) {
    const std::string content = patternBytes(600000), gz = gzipOf(content), h = sha256Of(content);
    const std::string object = u8"o b/\u00fc/" + h.substr(0, 2) + "/" + h;
    const std::string raw = "o%20b/%C3%BC/" + h.substr(0, 2) + "/" + h, Z = raw + ".gz";
    const auto size = [](std::size_t bytes) { return "{\"size\": " + std::to_string(bytes) + "}"; };
    const std::size_t half = gz.size() / 2, all = content.size();
    const std::string damaged = gz.substr(0, half) + char(gz[half] ^ 0x55) + gz.substr(half + 1);
    const struct {
        const char* name;
        Requests requests;
        std::size_t sent;  // at most, of the object's bytes
        // The .gz object if not the good one, its misbehaviour, the entry's
        // "gzip" if not its size, a staging file a killed run left.
        std::string served = "", how = "", member = "", staged = "";
        UpdateFailure end = UpdateFailure::None;
        std::string rawServed = "";  // the raw object, if not the good one
    } rows[] = {
        // clang-format off
        {"inflated", {Z}, gz.size()},
        {"damaged", {Z, raw}, gz.size() + all, damaged},
        {"truncated", {Z, raw}, half + all, gz.substr(0, half), "", size(gz.size())},
        {"longer than signed", {Z, raw}, gz.size() + all, "", "", size(gz.size() - 1)},
        {"a bomb", {Z, raw}, 0, gzipOf(std::string(8 << 20, 'b'))},
        {"another file", {Z, raw}, 0, gzipOf(patternBytes(all + 1).substr(1))},
        {"bytes after the member", {Z, raw}, 0, gz + gz}, {"missing", {Z, raw}, all, "", "status=404"},
        {"cut half-way", {Z, raw + " bytes=*"}, 0, "", "reset=" + std::to_string(half) + "\nfirst=1"},
        {"cut before its trailer", {Z}, gz.size(), "", "reset=" + std::to_string(gz.size() - 8) + "\nfirst=1"},
        {"killed run", {raw + " bytes=250000-"}, 350000, "", "", "", content.substr(0, 250000)},
        {"gzip size as text", {raw}, all, "", "", "{\"size\": \"12\"}"}, {"gzip a number", {raw}, all, "", "", "12"},
        {"gzip size negative", {raw}, all, "", "", "{\"size\": -1}"}, {"gzip size 1.5", {raw}, all, "", "", "{\"size\": 1.5}"},
        {"gzip without size", {raw}, all, "", "", "{\"bytes\": 12}"},
        {"raw damaged too", {Z, raw}, 0, damaged, "", "", "", UpdateFailure::DamagedData, patternBytes(all + 1).substr(1)},
        // clang-format on
    };
    for (const auto& row : rows) {
        const std::string id = "gzip" + std::to_string(&row - rows);
        Sandbox sandbox(id);
        PatchSite site(id);
        const std::string served = row.served.empty() ? gz : row.served;
        site.file(object, row.rawServed.empty() ? content : row.rawServed);
        site.file(object + ".gz", served);
        site.misbehave(object + ".gz", row.how);
        const std::string member = row.member.empty() ? size(served.size()) : row.member;
        const std::string manifest =
            "{\"objects\": \"o b/\u00fc\", \"files\": [" +
            entryJson("big.bin", upper(h), std::to_string(all) + ", \"gzip\": " + member) + "]}";
        site.manifest(manifest);
        sandbox.put("big.bin", kOld);
        if (!row.staged.empty()) sandbox.put("big.bin" + std::string(kStagingSuffix), row.staged);
        const long before = sentAndPeak().first;
        Updater updater = quickUpdater(id);
        std::int32_t most = -1;
        updater.onProgress = [&](int p, const std::string&) { most = (std::max)(most, p); };
        EXPECT_EQ(updater.runPass(), row.end) << row.name;
        Requests seen = site.requests(), expected = row.requests;
        expected.insert(expected.begin(), "manifest.json");
        std::size_t sent = row.sent;
        // A cut one continues from what it staged, whatever that is.
        if (expected.back().back() == '*' && seen.back().find('=') != std::string::npos) {
            const std::size_t from = std::stoul(seen.back().substr(seen.back().find('=') + 1));
            EXPECT_TRUE(from > 0 && from < all) << from;
            expected.back() = raw + " bytes=" + std::to_string(from) + "-";
            sent = half + all - from;
        }
        EXPECT_EQ(seen, expected) << row.name;
        if (sent) EXPECT_LE(sentAndPeak().first - before, long(manifest.size() + sent)) << row.name;
        const bool ok = row.end == UpdateFailure::None;
        EXPECT_EQ(sandbox.content("big.bin"), ok ? content : kOld) << row.name;
        EXPECT_EQ(sandbox.content("big.bin" + std::string(kStagingSuffix)), "<missing>")
            << row.name;
        EXPECT_TRUE(ok ? most == 100 : most <= 100) << row.name << ": " << most;
        expectOnlyDocumentsRevalidated(row.name);
    }
}

// A name part leaves room for the staging suffix (in UTF-16 code units), and a
// path for the game folder, the suffix and the terminator within MAX_PATH.
TEST(TransferTest, NamesAndPathsLeaveRoomForTheStagingFile) {
    const std::string game = u8"\U0001F3AE";  // two code units
    EXPECT_TRUE(isSafeManifestPath(std::string(241, 'n')));
    EXPECT_FALSE(isSafeManifestPath(std::string(242, 'n')));
    EXPECT_FALSE(isSafeManifestPath("d/" + std::string(242, 'n') + "/f"));
    EXPECT_TRUE(isSafeManifestPath(game + std::string(239, 'n')));
    EXPECT_FALSE(isSafeManifestPath(game + std::string(240, 'n')));
    EXPECT_TRUE(pathsFitFolder({{std::string(144, 'p'), "", 0}}, 100));
    EXPECT_FALSE(pathsFitFolder({{std::string(145, 'p'), "", 0}}, 100));
    // Entries may share a folder whatever its case (the server could not).
    EXPECT_TRUE(namesAreDistinct({{"Data/x.bin", "", 0}, {"data/y.bin", "", 0}}));
}

// Each failure shows its own status text; a refused manifest fetches nothing
// and changes nothing. The accepted rows show the refusals are the names'. A
// file held by another program for a moment is waited for; one held longer
// keeps its verified staging file for the next start.
TEST(TransferTest, RefusalsAndTheirStatusTexts) {
    const std::wstring network = L"Error: Check your connection.";
    const std::wstring damaged = L"Error: Update files are damaged on the server.";
    const std::wstring inUse = L"Error: A game file is in use or read-only.";
    const std::wstring disk = L"Error: Not enough disk space.";
    const std::wstring ok = L"All files are up to date!";
    const std::string h = sha256Of("x");
    const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e') + "/f.bin";
    enum LocalFile { Plain, Locked, ReadOnly, HeldASecond };  // a.bin, "old" on disk
    const struct {
        const char* name;
        std::wstring text;
        std::vector<std::string> paths;  // each holding "x"
        std::string size = "1";
        std::uint64_t freeSpace = 1 << 20;
        LocalFile local = Plain;
    } cases[] = {
        {"same name", damaged, {"a.bin", "a.bin"}},
        {"names equal but for case", damaged, {"a.bin", "A.BIN"}},
        {"folder parts equal but for case", damaged, {"Data/x.bin", "data/X.bin"}},
        {"a file where a folder is needed", damaged, {"data", "DATA/x.bin"}},
        {"staging suffix in capitals", damaged, {"x.LAUNCHER-PART"}},
        {"path over MAX_PATH", inUse, {deep}},
        {"fractional size", damaged, {"x.bin"}, "1.9"},
        {"digest mismatch", damaged, {"wrong.bin"}},
        {"not enough space", disk, {"a.bin", "b.bin"}, "1", 1},
        {"file in use", inUse, {"a.bin"}, "1", 1 << 20, Locked},
        {"file held for a second", ok, {"a.bin"}, "1", 1 << 20, HeldASecond},
        {"read-only file", inUse, {"a.bin"}, "1", 1 << 20, ReadOnly},
        {"a file in the way of a folder", inUse, {"a.bin/x.bin"}},
        {"missing on the server", network, {"absent.bin"}},
        {"just enough space", ok, {"a.bin", "b.bin"}, "1.0", 2},
    };
    for (const auto& c : cases) {
        const std::string id = "texts" + std::to_string(&c - cases);
        Sandbox sandbox(id);
        PatchSite site(id);
        std::string manifest = "{\"files\": [";
        for (const std::string& path : c.paths) {
            // Refused manifests need no files, and could not all be served.
            if (path == "wrong.bin") site.file(path, "y");
            if (c.text != damaged && path != "absent.bin") site.file(path, "x");
            manifest += (path == c.paths[0] ? "" : ", ") + entryJson(path, h, c.size);
        }
        site.manifest(manifest + "]}");
        sandbox.put("a.bin", kOld);
        const auto before = snapshot(sandbox.root());
        HANDLE lock = INVALID_HANDLE_VALUE;
        if (c.local == Locked || c.local == HeldASecond)
            lock = CreateFileW(sandbox.at("a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (c.local == ReadOnly)
            SetFileAttributesW(sandbox.at("a.bin").c_str(), FILE_ATTRIBUTE_READONLY);
        std::thread release([&] {
            if (c.local == HeldASecond) Sleep(1000), CloseHandle(lock);
        });
        Updater updater = quickUpdater(id);
        updater.freeSpace = c.freeSpace;
        runUpdate(updater);
        release.join();
        if (c.local == Locked) CloseHandle(lock);
        SetFileAttributesW(sandbox.at("a.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
        // A file that stayed held keeps its verified bytes staged.
        auto after = snapshot(sandbox.root());
        if (c.text == inUse && c.local != Plain) {
            const auto staged = after.find(sandbox.at("a.bin") + fromUtf8(kStagingSuffix));
            EXPECT_TRUE(staged != after.end() && staged->second == "x") << c.name;
            if (staged != after.end()) after.erase(staged);
        }
        EXPECT_EQ(launcherState.statusDetail.get(), c.text) << c.name;
        EXPECT_EQ(launcherState.updateSucceeded, c.text == ok) << c.name;
        if (c.text == damaged && c.paths[0] != "wrong.bin")
            EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << c.name;
        if (c.text != ok) EXPECT_EQ(after, before) << c.name;
    }
}

// On a 2 MiB disk of the test's own, a 3 MiB file: the check before the
// download asks the game folder's disk and fetches nothing; with that check
// overlooked, the disk fills during the download, and the staging file goes
// to give the space back. Either way the old file stays.
TEST(TransferTest, ADiskTooSmallForTheDownload) {
    Sandbox sandbox("full", L"small-disk");
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(sandbox.game().c_str(), &free, nullptr, nullptr) ||
        free.QuadPart > (4u << 20))
        GTEST_SKIP() << "no small disk here: run through scripts/sandbox.sh";
    PatchSite site("full");
    const std::string big = patternBytes(3 << 20);
    site.file("big.bin", big);
    site.manifest(manifestFor({{"big.bin", big}}));
    sandbox.put("big.bin", kOld);
    for (const bool overlooked : {false, true}) {
        clearRequestLog();
        Updater updater = quickUpdater("full");
        if (overlooked) updater.freeSpace = std::uint64_t{1} << 40;
        EXPECT_EQ(updater.runPass(), UpdateFailure::DiskSpace) << overlooked;
        EXPECT_EQ(site.requests().size(), overlooked ? 2u : 1u) << overlooked;
        EXPECT_EQ(sandbox.content("big.bin"), kOld) << overlooked;
        EXPECT_EQ(sandbox.content("big.bin" + std::string(kStagingSuffix)), "<missing>");
    }
}
