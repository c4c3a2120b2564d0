#include <cwctype>

#include "TestSupport.h"
#include "updater/ParallelCheck.h"

using namespace testing_support;

// Every pass in this binary hashes ahead on three threads, whatever the
// machine's cores, so all pass tests show that the pool changes nothing.
const int lookAheadThreads = setCheckThreads(3);

namespace {

// Paths in lowercase: Windows may keep either spelling of a file's name.
std::map<std::wstring, std::string> folded(const std::map<std::wstring, std::string>& files) {
    std::map<std::wstring, std::string> out;
    for (const auto& [path, content] : files) {
        std::wstring lower = path;
        for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
        out[lower] = content;
    }
    return out;
}

}  // namespace

// Eight files of the right length, all hashed ahead: with the third failing,
// the second alone is fetched and reported, nothing after the third is
// fetched, and the early digests leave no trace.
TEST(LookAheadPassTest, FetchesReportsAndFailsInManifestOrder) {
    const std::string same = patternBytes(40000), other(40000, 'x');
    std::vector<FileSpec> eight, stale;
    // The first, current, file takes longest to hash: the later results are
    // ready before its own.
    for (int i = 0; i < 8; ++i) {
        const size_t size = i == 0 ? 4000000 : 9000 + i;
        eight.push_back({"f" + std::to_string(i), patternBytes(size)});
        stale.push_back({eight[i].path, i == 0 ? eight[i].content : std::string(size, 'o')});
    }
    const struct {
        const char* name;
        std::vector<FileSpec> server, before;
        bool ok;
        Requests fetched;
        std::vector<FileSpec> after;
    } cases[] = {
        {"third-fails", eight, stale, false, {"f1", "f2"}, {eight[1]}},
        // Two paths that differ only in case name one file: refused before
        // anything is fetched or written.
        {"case", {{"CASE.bin", same}, {"case.bin", same}}, {{"case.bin", other}}, false, {}, {}},
    };
    for (const auto& c : cases) {
        Sandbox sandbox(c.name);
        PatchSite site(c.name);
        for (const FileSpec& f : c.server) site.file(f.path, f.content);
        site.misbehave("f2", "status=500");
        site.manifest(manifestFor(c.server));
        for (const FileSpec& f : c.before) sandbox.put(f.path, f.content);
        auto expected = snapshot(sandbox.root());
        for (const FileSpec& f : c.after) expected[sandbox.at(f.path)] = f.content;

        EXPECT_EQ(site.pass(), c.ok) << c.name;
        Requests requests{"manifest.json"};
        requests.insert(requests.end(), c.fetched.begin(), c.fetched.end());
        EXPECT_EQ(site.requests(), requests) << c.name;
        EXPECT_EQ(folded(snapshot(sandbox.root())), folded(expected)) << c.name;
        // Each file that arrived reported up to 100 %, one after the other.
        std::vector<std::pair<std::string, int>> runs, arrived;
        for (const auto& [percent, file] : site.reports) {
            if (runs.empty() || runs.back().first != file) runs.emplace_back(file, 0);
            runs.back().second = percent;
        }
        for (size_t i = 0; i + (c.ok ? 0 : 1) < c.fetched.size(); ++i)
            arrived.emplace_back(c.fetched[i], 100);
        EXPECT_EQ(runs, arrived) << c.name;
    }
}
