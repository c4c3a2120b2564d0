#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"
#include "core/LauncherState.h"
#include "updater/UpdateWorker.h"

using namespace testing_support;

// One outcome report, flags before texts; progress shows the file being
// fetched, never before its first chunk, and its percentage outlives the pass.
TEST(UpdateWorkerTest, ProgressThenExactlyOneOutcome) {
    const std::wstring upToDate = L"All files are up to date!";
    const std::wstring failed = L"Error: Check your connection.";
    const std::wstring offline = L"Offline: game files were not checked.";
    const std::string thousand = patternBytes(1000);
    // one.bin arrives, then gone/two.bin is refused (404). Whatever leaves
    // the pass still ends in the failure report, and the interrupted fetch
    // leaves the folder as it was. With no server, the fallback lets the game
    // start, but says so.
    // clang-format off
    // Files served and listed, the first one's server directives, the game
    // folder before; the outcome and the percentage at the end (at 100 the
    // first file shows as downloading); whether progress reports throw; the host.
    const struct { const char* name; std::vector<FileSpec> files; std::string how;
                   std::vector<FileSpec> before; bool ok; std::int32_t percent;
                   bool throwingProgress = false; const char* host = kHost; } cases[] = {
        {"w-same", {{"a.bin", "same"}}, "", {{"a.bin", "same"}}, true, 0},
        {"w-dl", {{"d/t.bin", thousand}}, "chunks=300.300.400\ndelay=300", {{"d/", ""}}, true, 100},
        {"w-fail", {{"one.bin", thousand}, {"gone/two.bin", "2"}, {"three.bin", "3"}}, "chunks=500.500", {}, false, 100},
        {"w-throw", {{"t.bin", thousand}}, "", {{"t.bin", "old"}}, false, 0, true},
        {"w-offline", {{"a.bin", "a"}}, "", {{"Main.exe", "MZ"}}, true, 0, false, kDeadHost},
        {"w-offline-nogame", {{"a.bin", "a"}}, "", {}, false, 0, false, kDeadHost}};
    // clang-format on
    for (const auto& c : cases) {
        Sandbox sandbox(c.name);
        PatchSite site(c.name);
        const std::string& first = c.files[0].path;
        const std::wstring downloading =
            c.percent ? L"Downloading: " + std::wstring(first.begin(), first.end()) : L"";
        for (const FileSpec& f : c.files) site.file(f.path, f.content);
        if (!c.how.empty()) site.misbehave(first, c.how);
        site.misbehave("gone/two.bin", "status=404");
        site.manifest(manifestFor(c.files));
        for (const FileSpec& f : c.before) sandbox.put(f.path, f.content);
        const auto folderBefore = snapshot(sandbox.game());
        LauncherState& s = launcherState;
        s.progressPercent = 0;
        s.updateFinished = s.updateSucceeded = s.updateFailed = false;
        s.statusDetail.set(L"");
        s.titleLine.set(L"Checking for updates...");
        const std::wstring outcome = !c.ok ? failed : c.host == kDeadHost ? offline : upToDate;
        Updater updater{c.host, "/" + site.name + "/", false, reportProgress};
        updater.trust = ManifestTrust{};
        updater.limits.attempts = 1;
        if (c.throwingProgress)
            updater.onProgress = [](std::int32_t, const std::string&) {
                throw std::runtime_error("");
            };
        // Samples the shared record while the worker runs, as the window
        // thread does, reading each pair in the reverse of the order the
        // worker writes it: then success before the end of the pass, an
        // outcome text before it, or a download text at 0 percent (a report
        // before the first chunk) can only come from a fault in the worker.
        std::atomic<bool> stop{false};
        std::set<std::wstring> texts;
        int faults = 0;
        std::thread watcher([&] {
            while (!stop) {
                const std::wstring text = s.statusDetail.get();
                const std::int32_t percent = s.progressPercent;
                const bool succeeded = s.updateSucceeded;
                const bool finished = s.updateFinished;
                texts.insert(text);
                faults += (succeeded && !finished) ||
                          ((text == upToDate || text == failed || text == offline) && !finished) ||
                          (text.compare(0, 13, L"Downloading: ") == 0 && percent == 0);
            }
        });
        runUpdate(updater);
        stop = true;
        watcher.join();
        EXPECT_TRUE(s.updateFinished) << c.name;
        EXPECT_EQ(s.updateSucceeded, c.ok) << c.name;
        EXPECT_EQ(s.updateFailed, !c.ok) << c.name;
        EXPECT_EQ(s.statusDetail.get(), outcome) << c.name;
        EXPECT_EQ(s.titleLine.get(), c.ok ? L"Update completed successfully." : L"Update failed.");
        EXPECT_EQ(s.progressPercent, c.percent) << c.name;
        EXPECT_EQ(faults, 0) << c.name;
        // The texts seen: the download of the first file, and no other but
        // the first and the last, which the watcher may start too late or
        // stop too early to see.
        texts.insert({L"", outcome});
        EXPECT_EQ(texts, (std::set<std::wstring>{L"", outcome, downloading})) << c.name;
        if (c.throwingProgress) EXPECT_EQ(snapshot(sandbox.game()), folderBefore) << c.name;
    }
}
