#include <sstream>

#include "TestSupport.h"

using namespace testing_support;

namespace {

// When the server took each request, in seconds, by request line.
std::vector<std::pair<double, std::string>> requestTimes() {
    std::istringstream text(readFile(wwwRoot() + L"\\requests.log.times"));
    std::vector<std::pair<double, std::string>> times;
    double at = 0;
    for (std::string line; text >> at && std::getline(text >> std::ws, line);)
        times.emplace_back(at, line);
    return times;
}

std::vector<FileSpec> numbered(int count, std::size_t size, const std::string& folder = "") {
    std::vector<FileSpec> files;
    for (int i = 0; i < count; ++i)
        files.push_back({folder + "f" + std::to_string(i), patternBytes(size + i)});
    return files;
}

}  // namespace

// A fresh install of 50 small files in new folders from a far server (100 ms
// before every answer): several connections at once, never more than the
// pool's, every file whole; the status line never names a file after one
// still in flight (its names only go on in manifest order).
TEST(ParallelFetchTest, FilesAtOnceWithinThePoolAndShownInOrder) {
    for (const int pool : {6, 3}) {
        const std::string id = "pool" + std::to_string(pool);
        Sandbox sandbox(id);
        PatchSite site(id, "~rtt=100/");
        std::vector<FileSpec> files = numbered(50, 3000, "new/deeper/");
        for (const FileSpec& f : files) site.file(f.path, f.content);
        site.manifest(manifestFor(files));
        Updater updater = site.updater();
        updater.limits.connections = pool;
        EXPECT_EQ(updater.runPass(), UpdateFailure::None) << pool;
        EXPECT_TRUE(sentAndPeak().second >= 2 && sentAndPeak().second <= pool)
            << sentAndPeak().second;
        EXPECT_EQ(site.requests().size(), 51u);
        for (const FileSpec& f : files) EXPECT_EQ(sandbox.content(f.path), f.content) << f.path;
        std::size_t shown = 0;
        for (const auto& [percent, name] : site.reports) {
            const std::size_t at = static_cast<std::size_t>(std::stoi(name.substr(12)));
            EXPECT_GE(at, shown) << name;
            shown = at;
        }
    }
}

// The first failure ends the pass: no file starts after it, files before it
// finish, a file after it still in flight stops with its staging file kept,
// and the earliest failing file in manifest order gives the pass's outcome
// (f1's, after 400 ms, though f2 failed first or last). A delta stopped so
// keeps its staging file too, and the next pass continues it.
TEST(ParallelFetchTest, TheEarliestFailureWinsAndNothingStartsAfterIt) {
    const UpdateFailure net = UpdateFailure::Network, damaged = UpdateFailure::DamagedData;
    const struct {
        const char* name;
        const char* f2;    // f0 takes 200 ms; f1 answers after 400 ms
        bool f2Digest;     // f2 as listed, else another file's digest
        UpdateFailure f1;  // a 500, or a body that fails its digest
        Requests requests;
        bool f2Delta = false;  // f2 has an old copy and a block list
    } rows[] = {
        {"a later file fails first", "", false, net, {"manifest.json", "f0", "f1", "f2"}},
        {"a later file still arriving", "drip=50", true, damaged,
         {"manifest.json", "f0", "f1", "f2", "f3"}},
        {"a later delta still arriving", "drip=50", true, net,
         {"manifest.json", "blocks", "f0", "f1", "f2 bytes=0-8191", "f3"}, true},
    };
    for (const auto& row : rows) {
        const std::string id = "first-failure" + std::to_string(&row - rows);
        Sandbox sandbox(id);
        PatchSite site(id);
        std::vector<FileSpec> files = numbered(4, 100000);
        for (const FileSpec& f : files) site.file(f.path, f.content);
        site.misbehave("f0", "rtt=200");
        site.misbehave("f1", row.f1 == net ? "rtt=400\nstatus=500" : "rtt=400");
        if (*row.f2) site.misbehave("f2", row.f2);
        if (!row.f2Digest) files[2].content = "another version";
        if (row.f1 == damaged) files[1].content = "another version";
        std::string old = files[2].content;
        if (row.f2Delta) {
            sandbox.put("f2", old.replace(0, 8192, std::string(8192, 'x')));
            site.file("blocks/" + sha256Of(files[2].content) + ".blocks",
                      files[2].blocks = blockListOf(files[2].content));
        }
        site.manifest(manifestFor(files));
        Updater updater = site.updater();
        updater.limits.connections = 3;
        EXPECT_EQ(updater.runPass(), row.f1) << row.name;
        Requests seen = site.requests();
        for (std::string& line : seen) line = line.substr(0, line.rfind("blocks/", 0) ? line.size() : 6);
        std::sort(seen.begin() + 1, seen.end());
        EXPECT_EQ(seen, row.requests) << row.name;
        EXPECT_EQ(sandbox.content("f0"), files[0].content) << row.name;
        const std::string staged = sandbox.content("f2" + std::string(kStagingSuffix));
        EXPECT_EQ(staged != "<missing>" && !staged.empty() &&
                      files[2].content.compare(0, staged.size(), staged) == 0,
                  row.f2Digest)
            << row.name;
        EXPECT_EQ(sandbox.content("f2"), row.f2Delta ? old : "<missing>") << row.name;
        if (!row.f2Delta) continue;
        site.misbehave("f1", "");
        site.misbehave("f2", "");
        clearRequestLog();
        EXPECT_EQ(updater.runPass(), UpdateFailure::None);
        seen = site.requests();
        EXPECT_NE(std::find(seen.begin(), seen.end(), "f2 bytes=" + std::to_string(staged.size()) + "-8191"),
                  seen.end());
        EXPECT_EQ(sandbox.content("f2"), files[2].content);
    }
}

// A 429 or 503 with Retry-After pauses every request to that server: a file
// taken up meanwhile is asked for only once the second has passed.
TEST(ParallelFetchTest, RetryAfterPausesEveryTransfer) {
    Sandbox sandbox("retry-after");
    PatchSite site("retry-after");
    const std::vector<FileSpec> files = numbered(3, 1000);
    for (const FileSpec& f : files) site.file(f.path, f.content);
    site.misbehave("f0", "status=503\nretryafter=1\nfirst=1");
    site.misbehave("f1", "rtt=200");
    site.manifest(manifestFor(files));
    Updater updater = site.updater();
    updater.limits.connections = 2;
    updater.limits.attempts = updater.limits.maxTries = 2;
    EXPECT_EQ(updater.runPass(), UpdateFailure::None);
    double refused = -1, later = -1;
    for (const auto& [at, line] : requestTimes()) {
        if (line.find("/f0") != std::string::npos && refused < 0) refused = at;
        if (line.find("/f2") != std::string::npos) later = at;
    }
    EXPECT_GE(later - refused, 0.9);
    for (const FileSpec& f : files) EXPECT_EQ(sandbox.content(f.path), f.content) << f.path;
}

// A mirror gives what the primary cannot: everything when it does not
// answer or its manifest fails verification (a version older than one
// accepted before, a signature that does not match even when fetched again),
// a file it refuses with 503s, the rest of a file it cuts. When every server
// fails, the last one's failure is the pass's (a signature that gets no
// answer is a connection failure). A build without a key asks no mirror.
TEST(ParallelFetchTest, MirrorsServeWhatThePrimaryCannot) {
    const std::wstring versionKey = L"Software\\LauncherTests\\Mirrors";
    RegDeleteTreeW(HKEY_CURRENT_USER, versionKey.c_str());
    const TestKey key;
    const std::vector<FileSpec> files = numbered(2, 300000);
    const std::string current = withVersion(manifestFor(files), 2);
    const std::string older = withVersion(manifestFor(files), 1);
    const ManifestTrust trust{key.publicKey(), versionKey};
    ASSERT_EQ(acceptManifest(trust, current, key.sign(current)), TrustVerdict::Trusted);
    const UpdateFailure net = UpdateFailure::Network;
    const Requests all = {"manifest.json", "manifest.json.sig", "f0", "f1"},
                   both = {all[0], all[1]};
    const struct {
        const char* name;
        std::string primary, mirror;  // "down", "older", "forged", "unanswered" or current
        const char* f1;               // f1's misbehaviour on the primary
        Requests mirrored;
        UpdateFailure end = UpdateFailure::None;
        bool keyed = true;
    } rows[] = {
        {"primary down", "down", "", "", all},
        {"primary refusing a file", "", "", "status=503", {"f1"}},
        {"primary cutting a file", "", "", "reset=100000", {"f1 bytes=100000-"}},
        {"primary older", "older", "", "", all},
        {"primary forged", "forged", "", "", all},
        {"all stale, the mirror unanswered", "older", "unanswered", "", both, net},
        {"all stale, the mirror older", "unanswered", "older", "", both, UpdateFailure::Unverified},
        {"no key", "down", "", "", {}, net, false},
    };
    for (const auto& row : rows) {
        const std::string id = "mirrors" + std::to_string(&row - rows);
        Sandbox sandbox(id);
        PatchSite primary(id + "-primary"), mirror(id + "-mirror");
        for (const PatchSite* site : {&primary, &mirror}) {
            const std::string& kind = site == &primary ? row.primary : row.mirror;
            for (const FileSpec& f : files) site->file(f.path, f.content);
            site->manifest(kind == "older" ? older : current);  // forged: signed as the older
            site->file("manifest.json.sig", key.sign(kind == "older" || kind == "forged" ? older
                                                                                          : current));
            if (kind == "unanswered") site->misbehave("manifest.json.sig", "silent");
        }
        if (*row.f1) primary.misbehave("f1", row.f1);
        clearRequestLog();
        Updater updater = primary.updater(row.primary == "down" ? kDeadHost : kHost);
        updater.mirrors = {{std::string(" ") + kHost + " ", "/" + mirror.name + "/", false}};
        updater.limits.headersMs = 1000;
        if (row.keyed) updater.trust = trust;
        EXPECT_EQ(updater.runPass(), row.end) << row.name;
        Requests fromMirror;
        for (const std::string& line : mirror.requests())
            if (line[0] != '/') fromMirror.push_back(line);
        EXPECT_EQ(fromMirror, row.mirrored) << row.name;
        for (const FileSpec& f : files)
            EXPECT_EQ(sandbox.content(f.path), row.end == UpdateFailure::None ? f.content : "<missing>")
                << row.name;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, versionKey.c_str());
}
