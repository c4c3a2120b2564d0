#include <chrono>
#include <cstdio>

#include "TestSupport.h"
#include "app/LauncherState.h"
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
    return u;
}

// Connections the server accepted and body bytes it sent, so far.
std::pair<long, long> serverCounts() {
    long connections = -1, sent = -1;
    std::sscanf(readFile(wwwRoot() + L"\\requests.log.stats").c_str(), "connections %ld sent %ld",
                &connections, &sent);
    return {connections, sent};
}

double secondsOf(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// Each case misbehaves on the manifest, on slow.bin (20,000 bytes, missing) or
// on big.bin (600,000 bytes, "old" on disk, maybe with a staging file left by
// a killed run). Requests are those for that file; "*" ends a prefix. A failed pass leaves the old
// file byte-identical and no staging file; every pass ends within seconds.
TEST(TransferTest, RetriesResumeAndTimeLimits) {
    const std::string content = patternBytes(600000), trickled = patternBytes(20000);
    const std::string half = content.substr(0, 250000);
    const std::string otherVersion = patternBytes(250001).substr(1);
    const std::string padded = "{\"pad\": \"" + std::string(20000, 'p') + "\", \"files\": [" +
                               entryJson("slow.bin", sha256Of(trickled), "20000") + ", " +
                               entryJson("big.bin", sha256Of(content), "600000") + "]}";
    const std::string r = "big.bin bytes=";
    const struct {
        const char* name;
        const char* file;  // that misbehaves
        const char* how;
        std::string staged;
        UpdateFailure failure;
        Requests requests;
        double maxSent = 0;     // body bytes sent, in files of 600,000
        double minSeconds = 0;  // a Retry-After of 1 s is waited for
    } cases[] = {
        {"reset at half",
         "big.bin",
         "reset=300000\nfirst=1",
         "",
         UpdateFailure::None,
         {"big.bin", r + "300000-"},
         1.05},
        {"503 twice",
         "big.bin",
         "status=503\nfirst=2",
         "",
         UpdateFailure::None,
         {"big.bin", "big.bin", "big.bin"}},
        {"404", "big.bin", "status=404", "", UpdateFailure::Network, {"big.bin"}},
        {"302 is not followed", "big.bin", "status=302", "", UpdateFailure::Network, {"big.bin"}},
        {"killed run resumed", "big.bin", "", half, UpdateFailure::None, {r + "250000-"}, 0.6},
        {"Range ignored", "big.bin", "norange", half, UpdateFailure::None, {r + "250000-"}, 1.05},
        {"wrong Content-Range",
         "big.bin",
         "badrange",
         half,
         UpdateFailure::Network,
         {r + "250000-"}},
        {"staged bytes of another version",
         "big.bin",
         "",
         otherVersion,
         UpdateFailure::None,
         {r + "250000-", "big.bin"}},
        {"cut short thrice",
         "big.bin",
         "short=100",
         "",
         UpdateFailure::Network,
         {"big.bin", r + "*", r + "*"}},
        {"stall in a file",
         "big.bin",
         "stall=100000",
         "",
         UpdateFailure::Network,
         {"big.bin", r + "100000-", r + "200000-"}},
        {"trickle in a file",
         "slow.bin",
         "drip=100",
         "",
         UpdateFailure::Network,
         {"slow.bin", "slow.bin bytes=*", "slow.bin bytes=*"}},
        {"stall in the manifest",
         "manifest.json",
         "stall=100",
         "",
         UpdateFailure::Network,
         {"manifest.json", "manifest.json", "manifest.json"}},
        {"trickle in the manifest",
         "manifest.json",
         "drip=100",
         "",
         UpdateFailure::Network,
         {"manifest.json", "manifest.json", "manifest.json"}},
        {"silent manifest",
         "manifest.json",
         "silent",
         "",
         UpdateFailure::Network,
         {"manifest.json", "manifest.json", "manifest.json"}},
        {"429 with Retry-After",
         "manifest.json",
         "status=429\nretryafter=1\nfirst=1",
         "",
         UpdateFailure::None,
         {"manifest.json", "manifest.json"},
         0,
         1.0},
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
        if (!c.staged.empty()) sandbox.put(std::string("big.bin") + kStagingSuffix, c.staged);
        const auto before = serverCounts();
        UpdateFailure failure{};
        const double took = secondsOf([&] { failure = quickUpdater(id).runPass(); });
        EXPECT_EQ(failure, c.failure) << c.name;
        Requests seen;
        for (const std::string& line : site.requests())
            if (line.find(c.file) != std::string::npos) seen.push_back(line);
        ASSERT_EQ(seen.size(), c.requests.size())
            << c.name << ": " << ::testing::PrintToString(seen);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            const std::string& want = c.requests[i];
            EXPECT_EQ(seen[i].substr(0, want.back() == '*' ? want.size() - 1 : std::string::npos),
                      want.back() == '*' ? want.substr(0, want.size() - 1) : want)
                << c.name;
        }
        // Less the manifest and slow.bin, which go through unharmed.
        const long sent = serverCounts().second - before.second - long(padded.size() + 20000);
        if (c.maxSent) EXPECT_LE(sent, c.maxSent * 600000) << c.name;
        EXPECT_GE(took, c.minSeconds) << c.name;
        EXPECT_LT(took, 15.0) << c.name;
        const bool done = c.failure == UpdateFailure::None;
        EXPECT_EQ(sandbox.content("big.bin"), done ? content : kOld) << c.name;
        EXPECT_EQ(sandbox.content(std::string("big.bin") + kStagingSuffix), "<missing>") << c.name;
    }
}

// A fresh install of 50 small files in new folders goes over one connection
// (none at all when Wine still keeps one from an earlier test alive).
TEST(TransferTest, OneConnectionAndNewFoldersForAFreshInstall) {
    Sandbox sandbox("fresh");
    PatchSite site("fresh");
    std::vector<FileSpec> files;
    for (int i = 0; i < 50; ++i)
        files.push_back({"new/deeper" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin",
                         patternBytes(1000 + i)});
    for (const FileSpec& f : files) site.file(f.path, f.content);
    site.manifest(manifestFor(files));
    const auto before = serverCounts();
    EXPECT_EQ(quickUpdater("fresh").runPass(), UpdateFailure::None);
    EXPECT_LE(serverCounts().first - before.first, 1);
    EXPECT_EQ(site.requests().size(), 51u);
    for (const FileSpec& f : files) EXPECT_EQ(sandbox.content(f.path), f.content) << f.path;
    EXPECT_EQ(readFile(sandbox.root() + L"\\outside\\keep.txt"), "keep");
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
// and changes nothing. The accepted rows show the refusals are the names'.
TEST(TransferTest, RefusalsAndTheirStatusTexts) {
    const std::wstring network = L"Error: Check your connection.";
    const std::wstring damaged = L"Error: Update files are damaged on the server.";
    const std::wstring inUse = L"Error: A game file is in use or read-only.";
    const std::wstring disk = L"Error: Not enough disk space.";
    const std::wstring ok = L"All files are up to date!";
    const std::string h = sha256Of("x");
    const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e') + "/f.bin";
    enum LocalFile { Plain, Locked, ReadOnly };  // a.bin, "old" on disk
    const struct {
        const char* name;
        std::vector<std::string> paths;  // each holding "x"
        std::string size = "1";
        LocalFile local = Plain;
        std::uint64_t freeSpace = 1 << 20;
        std::wstring text;
    } cases[] = {
        {"same name", {"a.bin", "a.bin"}, "1", Plain, 1 << 20, damaged},
        {"names equal but for case", {"a.bin", "A.BIN"}, "1", Plain, 1 << 20, damaged},
        {"folder parts equal but for case",
         {"Data/x.bin", "data/X.bin"},
         "1",
         Plain,
         1 << 20,
         damaged},
        {"a file where a folder is needed", {"data", "DATA/x.bin"}, "1", Plain, 1 << 20, damaged},
        {"staging suffix in capitals", {"x.LAUNCHER-PART"}, "1", Plain, 1 << 20, damaged},
        {"path over MAX_PATH", {deep}, "1", Plain, 1 << 20, damaged},
        {"fractional size", {"x.bin"}, "1.9", Plain, 1 << 20, damaged},
        {"digest mismatch", {"wrong.bin"}, "1", Plain, 1 << 20, damaged},
        {"not enough space", {"a.bin", "b.bin"}, "1", Plain, 1, disk},
        {"file in use", {"a.bin"}, "1", Locked, 1 << 20, inUse},
        {"read-only file", {"a.bin"}, "1", ReadOnly, 1 << 20, inUse},
        {"a file in the way of a folder", {"a.bin/x.bin"}, "1", Plain, 1 << 20, inUse},
        {"missing on the server", {"absent.bin"}, "1", Plain, 1 << 20, network},
        {"just enough space", {"a.bin", "b.bin"}, "1.0", Plain, 2, ok},
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
        if (c.local == Locked)
            lock = CreateFileW(sandbox.at("a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (c.local == ReadOnly)
            SetFileAttributesW(sandbox.at("a.bin").c_str(), FILE_ATTRIBUTE_READONLY);
        Updater updater = quickUpdater(id);
        updater.freeSpace = c.freeSpace;
        runUpdate(updater);
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
        SetFileAttributesW(sandbox.at("a.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(launcherState.statusDetail.get(), c.text) << c.name;
        EXPECT_EQ(launcherState.updateSucceeded, c.text == ok) << c.name;
        if (c.text == damaged && c.paths[0] != "wrong.bin")
            EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << c.name;
        if (c.text != ok) EXPECT_EQ(snapshot(sandbox.root()), before) << c.name;
    }
}
