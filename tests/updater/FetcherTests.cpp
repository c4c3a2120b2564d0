#include <chrono>
#include <set>

#include "TestSupport.h"
#include "updater/HttpFetcher.h"

using namespace testing_support;

namespace {

// One try per request, base path "/": names are whole URL paths.
PatchConnection connect(const std::string& host = kHost) {
    TransferLimits once;
    once.attempts = once.maxTries = 1;
    return PatchConnection(false, fromUtf8(host), 80, "/", once);
}

}  // namespace

// A body over the limit is refused. An announced length over it is refused
// before the body is read: a body that stalls after 1,000 bytes, which a
// reader would wait on for the 30 s idle limit, does not hold the answer up.
TEST(FetchToMemoryTest, BodiesOverTheLimitAreRefused) {
    PatchSite site("mem");
    site.file("doc.bin", patternBytes(200000));
    for (const std::string how : {"", "~chunked/", "~endless/", "~stall=1000/"}) {
        std::string body;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(connect().fetchToMemory(how + "mem/doc.bin", body, 199999), FetchResult::Rejected)
            << how;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << how;
    }
}

// A verified body replaces the old file and leaves no staging file. With an announced length the
// reports rise to 100 in the steps the chunks allow, named by the local path; without one there are
// none. A digest in capitals verifies too.
TEST(FetchToFileTest, VerifiedBodiesReplaceTheOldFile) {
    Sandbox sandbox("fetch-ok");
    PatchSite site("f");
    const Updater updater = site.updater();
    // clang-format off
    const struct {
        std::string how, local, content;
        std::set<std::int32_t> steps;  // empty: no reports at all
    } cases[] = {
        {"~chunks=300.300.400/", "data/1000.bin", patternBytes(1000), {30, 60, 100}},
        {"~chunks=1.1.1/", "abc.bin", "abc", {33, 66, 100}},
        {"~drip=2/", "drip.bin", patternBytes(4096), {}},
        {"~chunked/", "big.bin", patternBytes(300000), {}}, {"", "empty.bin", "", {}}};
    // clang-format on
    for (const auto& c : cases) {
        site.file(c.local, c.content);
        sandbox.put(c.local, kOld);
        site.reports.clear();
        PatchConnection connection = connect();
        EXPECT_EQ(updater.fetchToFile(connection, c.how + "f/" + c.local,
                                      {c.local, upper(sha256Of(c.content)), c.content.size()}),
                  UpdateFailure::None)
            << c.local;
        EXPECT_EQ(sandbox.content(c.local), c.content) << c.local;
        EXPECT_EQ(readFile(sandbox.at(c.local) + fromUtf8(kStagingSuffix)), "<missing>");
        if (c.how == "~drip=2/") continue;  // pieces as they come: any rising steps
        // Rising, each one a step the chunks allow (a slow reader may skip some), up to 100.
        std::set<std::int32_t> steps;
        for (const auto& [percent, name] : site.reports) {
            EXPECT_EQ(name, c.local);
            EXPECT_TRUE(c.steps.count(percent) && steps.insert(percent).second &&
                        percent == *steps.rbegin())
                << c.local << ": " << percent;
        }
        EXPECT_EQ(steps.empty() ? 0 : *steps.rbegin(), c.steps.empty() ? 0 : 100) << c.local;
    }
}

// Every way a transfer can go wrong fails after exactly one request and leaves
// the old file byte-identical and no folder. A body cut off keeps what
// arrived in the staging file, for the next start to continue; the bytes of a
// broken answer go.
TEST(FetchToFileTest, FailedTransfersNeverTouchTheFile) {
    Sandbox sandbox("fetch-failures");
    PatchSite site("g");
    const std::string content = patternBytes(200000), digest = sha256Of(content);
    const std::uint64_t size = content.size();
    site.file("good.bin", content);
    site.file("drip.bin", patternBytes(4096));
    sandbox.put("target.bin", kOld);
    const auto before = snapshot(sandbox.root());
    const std::wstring staging = sandbox.at("target.bin") + fromUtf8(kStagingSuffix);
    // clang-format off
    const struct {
        std::string how;  // the server's directives, or "dead" for no server
        std::uint64_t size;
        std::string digest, file = "good.bin", local = "target.bin";
        bool cut = false;  // a prefix of the body stays staged
    } cases[] = {
        {"dead", size, digest}, {"~status=404/", size, digest},
        {"~status=500/~page=json/", size, digest}, {"~short=5000/", size, digest, "good.bin", "target.bin", true},
        {"~chunked/~short=5000/", size, digest, "good.bin", "target.bin", true}, {"~long=5000/", size + 5000, digest},
        {"~chunked/~long=5000/", size, digest}, {"~reset=100000/", size, digest, "good.bin", "target.bin", true},
        {"~chunked/~reset=100000/", size, digest, "good.bin", "target.bin", true}, {"~endless/", size, digest},
        {"", size, sha256Of("something else")}, {"", size - 1, digest},
        {"~drip=2/", 4096, digest, "drip.bin"}, {"", size, digest, "good.bin", "target.bin/x.bin"}};
    // clang-format on
    const Updater updater = site.updater();
    for (const auto& c : cases) {
        const bool dead = c.how == "dead";
        const std::string path = "/" + (dead ? "" : c.how) + "g/" + c.file;
        const std::string name = path + " " + c.local + " " + std::to_string(c.size);
        clearRequestLog();
        PatchConnection connection = connect(dead ? kDeadHost : kHost);
        ASSERT_NE(updater.fetchToFile(connection, path.substr(1), {c.local, c.digest, c.size}),
                  UpdateFailure::None)
            << name;
        ASSERT_EQ(requestLog(), dead ? Requests{} : Requests{path}) << name;
        auto after = snapshot(sandbox.root());
        const std::string staged = readFile(staging);
        EXPECT_EQ(staged != "<missing>", c.cut) << name;
        if (c.cut) {
            EXPECT_TRUE(!staged.empty() && content.compare(0, staged.size(), staged) == 0) << name;
            after.erase(staging);
            DeleteFileW(staging.c_str());
        }
        ASSERT_EQ(after, before) << name;
    }
}
