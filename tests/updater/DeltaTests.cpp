#include "TestSupport.h"

using namespace testing_support;

namespace {

constexpr std::uint32_t kBlock = 4096;

// A pack of 64 blocks, and its next version: 100 bytes inserted in block 2,
// blocks 24-25 and 48-49 rewritten in part.
struct Pack {
    std::string old = patternBytes(64 * kBlock + 1000), next = old;
    Pack() {
        next.insert(10000, std::string(100, 'i'));
        next.replace(100000, 5000, std::string(5000, 'r'));
        next.replace(200000, 3000, std::string(3000, 's'));
    }
};

// Three tries in a row, twenty in all, 10 ms apart.
Updater retrying(PatchSite& site) {
    Updater updater = site.updater();
    updater.limits.attempts = 3;
    updater.limits.maxTries = 20;
    updater.limits.firstWaitMs = updater.limits.laterWaitMs = 10;
    return updater;
}

}  // namespace

// The old copy gives every block it holds; one Range request fetches each run
// of missing blocks, and the pass ends with the new file byte for byte. A
// delta cut short continues where it was cut, and one killed midway (its
// staging file left) continues on the next start. The progress shows the
// share of the file in place, copied or fetched, under the file's name.
// Every way the delta cannot be made ends in the whole file, or in the
// damaged text when that fails too, never in a wrong file.
TEST(DeltaTest, OnlyMissingBlocksAreFetchedAndEveryFallbackEndsRight) {
    const Pack pack;
    const std::string list = blockListOf(pack.next, kBlock);
    const std::string name = "blocks/" + sha256Of(pack.next) + ".blocks";
    const std::string r = "pack.bin bytes=", whole = "pack.bin";
    const Requests ranges = {r + "8192-12287", r + "98304-106495", r + "196608-204799"};
    const std::string several = ranges[0] + ",98304-106495,196608-204799";
    const UpdateFailure ok = UpdateFailure::None, damaged = UpdateFailure::DamagedData;
    const struct {
        const char* name;
        Requests requests;                // after the manifest and the list
        UpdateFailure end = ok;
        std::string served;               // pack.bin on the server, if not the new file
        const char* how = "";             // pack.bin's misbehaviour
        std::string listServed = "";      // the list on the server, if not the good one
        bool listSigned = true;           // the manifest names the list served
        std::int64_t listSizeOff = 0;     // the manifest's list size, less the real one
        std::string staged = "";          // a staging file left by a killed run
    } rows[] = {
        {"delta", {several}},
        {"cut in a range", {several, r + "9096-12287,98304-106495,196608-204799"}, ok, "",
         "reset=1000\nfirst=1"},
        {"killed midway", {r + "100000-106495,196608-204799"}, ok, "", "", "", true, 0,
         pack.next.substr(0, 100000)},
        {"no list on the server", {whole}, ok, "", "", "<none>"},
        {"list longer than stated", {whole}, ok, "", "", "", true, -1},
        {"list not the one signed", {whole}, ok, "", "", list.substr(0, list.size() - 1) + "x",
         false},
        {"list of another file", {whole}, ok, "", "", blockListOf(pack.old, kBlock)},
        {"staged whole, its commit refused before", {}, ok, "", "", "", true, 0, pack.next},
        {"ranges answered whole", {several, ranges[0]}, ok, "", "norange"},
        {"several ranges answered whole", {several, ranges[0], ranges[1], ranges[2]}, ok, "",
         "nomulti"},
        {"multipart parts longer than stated", {several, ranges[1], ranges[2]}, ok, "", "badmulti"},
        {"range answered wrong", {several, ranges[0], whole}, ok, "", "badrange"},
        {"range bytes wrong", {several, whole}, ok, "", "rangelie"},
        {"file damaged on the server", {several, whole}, damaged, patternBytes(pack.next.size())},
    };
    for (const auto& row : rows) {
        const std::string id = "delta" + std::to_string(&row - rows);
        Sandbox sandbox(id);
        PatchSite site(id);
        const std::string listed = row.listServed.empty() ? list : row.listServed;
        const std::string named = row.listSigned ? listed : list;
        site.file("pack.bin", row.served.empty() ? pack.next : row.served);
        if (*row.how) site.misbehave("pack.bin", row.how);
        if (row.listServed != "<none>") site.file(name, listed);
        site.manifest("{\"files\": [" +
                      entryJson("pack.bin", sha256Of(pack.next),
                                std::to_string(pack.next.size()) + blocksJson(named, row.listSizeOff)) +
                      "]}");
        sandbox.put("pack.bin", pack.old);
        if (!row.staged.empty()) sandbox.put("pack.bin" + std::string(kStagingSuffix), row.staged);
        EXPECT_EQ(retrying(site).runPass(), row.end) << row.name;
        Requests expected = {"manifest.json", name};
        if (row.staged == pack.next) expected.pop_back();
        expected.insert(expected.end(), row.requests.begin(), row.requests.end());
        EXPECT_EQ(site.requests(), expected) << row.name;
        EXPECT_TRUE(sandbox.content("pack.bin") == (row.end == ok ? pack.next : pack.old))
            << row.name;
        EXPECT_EQ(sandbox.content("pack.bin" + std::string(kStagingSuffix)), "<missing>")
            << row.name;
        // Shares of the file under its name, up to all of it; rising while
        // nothing starts the file over.
        std::int32_t last = -1;
        for (const auto& [percent, file] : site.reports) {
            EXPECT_TRUE(file == "pack.bin" && (percent >= last || &row - rows > 7))
                << row.name << ": " << percent;
            last = percent;
        }
        if (row.end == ok) EXPECT_EQ(last, 100) << row.name;
    }
}

// A delta of 50 runs asks for 24 runs a request. From a server that sends
// no multipart answers it asks for one run a request, and a reset (or a 503)
// of the 25th of those costs a try, not the file. Each way ends in the new
// file fetched as a delta: every request asks for ranges.
TEST(DeltaTest, ManyRunsFewRequestsAndEveryTransientFailureTriedAgain) {
    const std::string old = patternBytes(200 * 1024);
    std::string next = old;
    for (std::size_t at = 100; at < next.size(); at += 4096) next[at] ^= 1;
    const std::string list = blockListOf(next, 1024);
    const struct {
        const char* how;
        std::size_t requests;  // for pack.bin
    } rows[] = {{"", 3}, {"nomulti\ndrop\nfrom=26\nfirst=26", 52},
                {"nomulti\nstatus=503\nfrom=26\nfirst=26", 52}, {"badmulti", 50}};
    for (const auto& row : rows) {
        Sandbox sandbox("runs" + std::to_string(&row - rows));
        PatchSite site("runs" + std::to_string(&row - rows));
        site.file("pack.bin", next);
        site.misbehave("pack.bin", row.how);
        site.file("blocks/" + sha256Of(next) + ".blocks", list);
        site.manifest(manifestFor({{"pack.bin", next, list}}));
        sandbox.put("pack.bin", old);
        EXPECT_EQ(retrying(site).runPass(), UpdateFailure::None) << row.how;
        EXPECT_TRUE(sandbox.content("pack.bin") == next) << row.how;
        Requests asked = site.requests();
        asked.erase(asked.begin(), asked.begin() + 2);
        EXPECT_EQ(asked.size(), row.requests) << row.how;
        for (const std::string& line : asked) EXPECT_NE(line.find(" bytes="), std::string::npos) << line;
    }
}
