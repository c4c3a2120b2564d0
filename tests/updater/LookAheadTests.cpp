#include "TestSupport.h"
#include "updater/ParallelCheck.h"

using namespace testing_support;

// Every pass in this binary hashes ahead on three threads, whatever the
// machine's cores, so all pass tests show that the pool changes nothing.
const int lookAheadThreads = setCheckThreads(3);

// Eight files of the right length, all hashed ahead: with the third failing,
// the second alone is fetched and reported, nothing after the third is
// fetched, and the early digests leave no trace.
TEST(LookAheadPassTest, FetchesReportsAndFailsInManifestOrder) {
    std::vector<FileSpec> eight, stale;
    // The first, current, file takes longest to hash: the later results are
    // ready before its own.
    for (int i = 0; i < 8; ++i) {
        const size_t size = i == 0 ? 4000000 : 9000 + i;
        eight.push_back({"f" + std::to_string(i), patternBytes(size)});
        stale.push_back({eight[i].path, i == 0 ? eight[i].content : std::string(size, 'o')});
    }
    Sandbox sandbox("look-ahead");
    PatchSite site("look-ahead");
    for (const FileSpec& f : eight) site.file(f.path, f.content);
    site.misbehave("f2", "status=500");
    site.manifest(manifestFor(eight));
    for (const FileSpec& f : stale) sandbox.put(f.path, f.content);
    auto expected = snapshot(sandbox.root());
    expected[sandbox.at("f1")] = eight[1].content;

    EXPECT_FALSE(site.pass());
    EXPECT_EQ(site.requests(), (Requests{"manifest.json", "f1", "f2"}));
    EXPECT_EQ(snapshot(sandbox.root()), expected);
    // f1 reported up to 100 %, and nothing else.
    std::vector<std::pair<std::string, int>> runs;
    for (const auto& [percent, file] : site.reports) {
        if (runs.empty() || runs.back().first != file) runs.emplace_back(file, 0);
        runs.back().second = percent;
    }
    EXPECT_EQ(runs, (std::vector<std::pair<std::string, int>>{{"f1", 100}}));
}
