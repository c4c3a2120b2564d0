#include <set>

#include "TestSupport.h"
#include "updater/HttpFetcher.h"

using namespace testing_support;

namespace {

// Kernel handles open in this process, found by probing handle values
// (GetProcessHandleCount is a stub under Wine).
int openHandleCount() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x20000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// One try per request, base path "/": names are whole URL paths.
PatchConnection connect(const std::string& host = kHost) {
    TransferLimits once;
    once.attempts = 1;
    return PatchConnection(false, host, 80, "/", once);
}

}  // namespace

// A body over the limit is refused and never held beyond it; an announced
// length over it is refused before reading. (Whole bodies are checked beside
// fetchToFile below; error answers, cut and reset bodies and an endless one
// against the real limit through the manifest table in PassTests.)
TEST(FetchToMemoryTest, BodiesOverTheLimitAreRefused) {
    PatchSite site("mem");
    site.file("doc.bin", patternBytes(200000));
    for (const std::string how : {"", "~chunked/", "~endless/"}) {
        std::string body;
        EXPECT_EQ(connect().fetchToMemory(how + "mem/doc.bin", body, 199999), FetchResult::Rejected)
            << how;
        EXPECT_LE(body.size(), how.empty() ? 0u : 199999u) << how;
    }
}

// A verified body replaces the old file and leaves no staging file, and
// fetchToMemory gets the same bytes as Complete. With an
// announced length the reports rise to 100 in the steps the chunks allow
// (truncating division), named by the local path; without one there are none.
TEST(FetchToFileTest, VerifiedBodiesReplaceTheOldFile) {
    Sandbox sandbox("fetch-ok");
    PatchSite site("f");
    const Updater updater = site.updater();
    const std::string thousand = patternBytes(1000), big = patternBytes(300000);
    const std::string drip = patternBytes(4096);
    const struct {
        std::string how, local, content;
        bool reports;
        std::set<std::int32_t> steps;  // empty: any
        bool capitals = false;         // the digest in capitals still verifies
    } cases[] = {
        {"~chunks=300.300.400/", "data/1000.bin", thousand, true, {30, 60, 100}},
        {"~chunks=1.1.1/", "abc.bin", "abc", true, {33, 66, 100}, true},
        {"~drip=2/", "drip.bin", drip, true, {}},
        {"~chunked/", "big.bin", big, false, {}},
        {"", "empty.bin", "", false, {}},
    };
    for (const auto& c : cases) {
        site.file(c.local, c.content);
        sandbox.put(c.local, kOld);
        site.reports.clear();
        PatchConnection connection = connect();
        EXPECT_EQ(
            updater.fetchToFile(connection, c.how + "f/" + c.local, c.local, c.content.size(),
                                c.capitals ? upper(sha256Of(c.content)) : sha256Of(c.content)),
            UpdateFailure::None)
            << c.local;
        EXPECT_EQ(sandbox.content(c.local), c.content) << c.local;
        std::string body;
        EXPECT_EQ(connection.fetchToMemory(c.how + "f/" + c.local, body, 1 << 20),
                  FetchResult::Complete);
        EXPECT_EQ(body, c.content) << c.local;
        EXPECT_EQ(readFile(sandbox.at(c.local) + fromUtf8(kStagingSuffix)), "<missing>") << c.local;
        EXPECT_EQ(site.reports.empty(), !c.reports) << c.local;
        for (std::size_t i = 0; i < site.reports.size(); ++i) {
            const auto& [percent, name] = site.reports[i];
            EXPECT_EQ(name, c.local);
            EXPECT_TRUE(c.steps.empty() || c.steps.count(percent)) << c.local << ": " << percent;
            if (i) EXPECT_GT(percent, site.reports[i - 1].first) << c.local;
        }
        if (!site.reports.empty()) EXPECT_EQ(site.reports.back().first, 100) << c.local;
    }
}

// Every way a transfer can go wrong fails after exactly one request and leaves
// the sandbox as it was: the old file byte-identical, no staging file, no
// folder. Over 200 such calls (after a warm-up round) leave no handle open.
TEST(FetchToFileTest, FailedTransfersChangeNothingAndCloseTheirHandles) {
    Sandbox sandbox("fetch-failures");
    PatchSite site("g");
    const std::string content = patternBytes(200000), digest = sha256Of(content);
    const std::uint64_t size = content.size();
    site.file("good.bin", content);
    site.file("drip.bin", patternBytes(4096));
    sandbox.put("target.bin", kOld);
    const auto before = snapshot(sandbox.root());
    const struct {
        const char* name;
        std::string path;
        std::uint64_t size;
        std::string digest, host = kHost, local = "target.bin";
    } cases[] = {
        {"no server", "/g/good.bin", size, digest, kDeadHost},
        {"404 html", "/~status=404/g/good.bin", size, digest},
        {"500 json", "/~status=500/~page=json/g/good.bin", size, digest},
        {"missing on server", "/g/absent.bin", size, digest},
        {"cut short", "/~short=5000/g/good.bin", size, digest},
        {"cut short, chunked", "/~chunked/~short=5000/g/good.bin", size, digest},
        {"longer than announced", "/~long=5000/g/good.bin", size + 5000, digest},
        {"longer than the entry, chunked", "/~chunked/~long=5000/g/good.bin", size, digest},
        {"reset midway", "/~reset=100000/g/good.bin", size, digest},
        {"reset midway, chunked", "/~chunked/~reset=100000/g/good.bin", size, digest},
        {"endless", "/~endless/g/good.bin", size, digest},
        {"other content", "/g/good.bin", size, sha256Of("something else")},
        {"entry shorter than body", "/g/good.bin", size - 1, digest},
        {"slow drip, wrong digest", "/~drip=2/g/drip.bin", 4096, digest},
        {"a file in the way of its folder", "/g/good.bin", size, digest, kHost, "target.bin/x.bin"},
    };
    const Updater updater = site.updater();
    int handles = 0;
    for (int round = 0; round < 14; ++round) {
        if (round == 1) handles = openHandleCount();  // after lazily loaded DLLs
        for (const auto& c : cases) {
            clearRequestLog();
            PatchConnection connection = connect(c.host);
            ASSERT_NE(updater.fetchToFile(connection, c.path.substr(1), c.local, c.size, c.digest),
                      UpdateFailure::None)
                << c.name;
            ASSERT_EQ(requestLog(), c.host == kHost ? Requests{c.path} : Requests{}) << c.name;
            ASSERT_EQ(snapshot(sandbox.root()), before) << c.name;
        }
        std::string body;
        ASSERT_EQ(connect().fetchToMemory("~short=9/g/good.bin", body, size),
                  FetchResult::Rejected);
    }
    const int after = openHandleCount();
    EXPECT_LE(after, handles + 5) << "handles before " << handles << ", after " << after;
    // The probe does see handles: one more file shows up.
    HANDLE probe = CreateFileW(L"probe.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openHandleCount(), after + 1);
    CloseHandle(probe);
}
