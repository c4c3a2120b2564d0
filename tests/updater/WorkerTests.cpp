#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"
#include "core/LauncherState.h"
#include "updater/UpdateWorker.h"

using namespace testing_support;

namespace {

const std::wstring kUpToDate = L"All files are up to date!";
const std::wstring kFailed = L"Error: Check your connection.";
const std::wstring kOffline = L"Offline: game files were not checked.";

}  // namespace

// One outcome report, flags before texts; progress shows the file being
// fetched, never before its first chunk, and its percentage outlives the pass.
TEST(UpdateWorkerTest, ProgressThenExactlyOneOutcome) {
    const std::string thousand = patternBytes(1000);
    // one.bin arrives, then gone/two.bin is refused (404).
    const std::vector<FileSpec> failing = {
        {"one.bin", thousand}, {"gone/two.bin", "2"}, {"three.bin", "3"}};
    const struct {
        const char* name;
        std::vector<FileSpec> files;  // served and listed
        std::string how;              // for the first file
        std::vector<FileSpec> before;
        bool ok;
        std::int32_t percent;  // when 100, the first file shows as downloading
        bool throwingProgress = false;
        const char* host = kHost;
    } cases[] = {
        {"w-same", {{"a.bin", "same"}}, "", {{"a.bin", "same"}}, true, 0},
        {"w-dl", {{"d/t.bin", thousand}}, "chunks=300.300.400\ndelay=300", {{"d/", ""}}, true, 100},
        {"w-fail", failing, "chunks=500.500", {}, false, 100},
        // Whatever leaves the pass still ends in the failure report, and the
        // interrupted fetch leaves the folder as it was.
        {"w-throw", {{"t.bin", thousand}}, "", {{"t.bin", "old"}}, false, 0, true},
        // No server: the fallback lets the game start, but says so.
        {"w-offline", {{"a.bin", "a"}}, "", {{"Main.exe", "MZ"}}, true, 0, false, kDeadHost},
        {"w-offline-nogame", {{"a.bin", "a"}}, "", {}, false, 0, false, kDeadHost},
    };
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
        launcherState.window = nullptr;
        launcherState.progressPercent = 0;
        launcherState.updateFinished = false;
        launcherState.updateSucceeded = false;
        launcherState.statusDetail.set(L"");
        launcherState.titleLine.set(L"Checking for updates...");
        const std::wstring outcome = !c.ok ? kFailed : c.host == kDeadHost ? kOffline : kUpToDate;
        Updater updater{c.host, "/" + site.name + "/", false, reportProgress};
        updater.trust = ManifestTrust{};
        updater.limits.attempts = 1;
        if (c.throwingProgress)
            updater.onProgress = [](std::int32_t, const std::string&) {
                throw std::runtime_error("no");
            };
        // Samples the shared record while the worker runs, as the window
        // thread does. Read in the reverse of the write order, success or an
        // outcome text before the end of the pass is a fault, and so is a
        // download text at 0 percent (a report before the first chunk).
        std::atomic<bool> stop{false};
        std::set<std::wstring> texts;
        int faults = 0;
        std::thread watcher([&] {
            while (!stop) {
                const bool finished = launcherState.updateFinished;
                const bool succeeded = launcherState.updateSucceeded;
                const std::int32_t percent = launcherState.progressPercent;
                const std::wstring text = launcherState.statusDetail.get();
                const bool finishedAfter = launcherState.updateFinished;
                texts.insert(text);
                faults += (succeeded && !finished) ||
                          ((text == kUpToDate || text == kFailed || text == kOffline) &&
                           !finishedAfter) ||
                          (text.compare(0, 13, L"Downloading: ") == 0 && percent == 0);
            }
        });
        runUpdate(updater);
        stop = true;
        watcher.join();
        EXPECT_TRUE(launcherState.updateFinished) << c.name;
        EXPECT_EQ(launcherState.updateSucceeded, c.ok) << c.name;
        EXPECT_EQ(launcherState.statusDetail.get(), outcome) << c.name;
        EXPECT_EQ(launcherState.titleLine.get(),
                  c.ok ? L"Update completed successfully." : L"Update failed.")
            << c.name;
        EXPECT_EQ(launcherState.progressPercent, c.percent) << c.name;
        EXPECT_EQ(faults, 0) << c.name;
        if (!downloading.empty()) EXPECT_EQ(texts.count(downloading), 1u) << c.name;
        for (const std::wstring& text : texts) {
            EXPECT_TRUE(text.empty() || text == outcome || text == downloading)
                << c.name << ": " << std::string(text.begin(), text.end());
        }
        if (c.throwingProgress) EXPECT_EQ(snapshot(sandbox.game()), folderBefore) << c.name;
    }
}
