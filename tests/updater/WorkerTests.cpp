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

}  // namespace

// One outcome report, flags before texts; progress shows the file being
// fetched, never before its first chunk, and its percentage outlives the pass.
TEST(UpdateWorkerTest, ProgressThenExactlyOneOutcome) {
    const std::string thousand = patternBytes(1000);
    // one.bin arrives, then gone/two.bin has no folder to go to.
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
    } cases[] = {
        {"w-same", {{"a.bin", "same"}}, "", {{"a.bin", "same"}}, true, 0},
        {"w-dl", {{"d/t.bin", thousand}}, "chunks=300.300.400\ndelay=300", {{"d/", ""}}, true, 100},
        {"w-fail", failing, "chunks=500.500", {}, false, 100},
        // Whatever leaves the pass still ends in the failure report, and the
        // interrupted fetch leaves the folder as it was.
        {"w-throw", {{"t.bin", thousand}}, "", {{"t.bin", "old"}}, false, 0, true},
    };
    for (const auto& c : cases) {
        Sandbox sandbox(c.name);
        PatchSite site(c.name);
        const std::string& first = c.files[0].path;
        const std::wstring downloading =
            c.percent ? L"Downloading: " + std::wstring(first.begin(), first.end()) : L"";
        for (const FileSpec& f : c.files) site.file(f.path, f.content);
        if (!c.how.empty()) site.misbehave(first, c.how);
        site.manifest(manifestFor(c.files));
        for (const FileSpec& f : c.before) sandbox.put(f.path, f.content);
        const auto folderBefore = snapshot(sandbox.game());
        launcherState.window = nullptr;
        launcherState.progressPercent = 0;
        launcherState.updateFinished = false;
        launcherState.updateSucceeded = false;
        launcherState.statusDetail.set(L"");
        launcherState.titleLine.set(L"Checking for updates...");
        Updater updater{kHost, "/" + site.name + "/", false, reportProgress};
        if (c.throwingProgress)
            updater.onProgress = [](std::int32_t, const std::string&) {
                throw std::runtime_error("no");
            };
        // Samples the shared record while the worker runs, as the window
        // thread does, reading each pair in the reverse of the order the
        // worker writes it (percent then text, finished then succeeded then
        // the texts): then success before the end of the pass, an outcome
        // text before it, or a download text at 0 percent (a report before
        // the first chunk) can only come from a fault in the worker, never
        // from a report that lands between two reads.
        std::atomic<bool> stop{false};
        std::set<std::wstring> texts;
        int faults = 0;
        std::thread watcher([&] {
            while (!stop) {
                const std::wstring text = launcherState.statusDetail.get();
                const std::int32_t percent = launcherState.progressPercent;
                const bool succeeded = launcherState.updateSucceeded;
                const bool finished = launcherState.updateFinished;
                texts.insert(text);
                faults += (succeeded && !finished) ||
                          ((text == kUpToDate || text == kFailed) && !finished) ||
                          (text.compare(0, 13, L"Downloading: ") == 0 && percent == 0);
            }
        });
        runUpdate(updater);
        stop = true;
        watcher.join();
        EXPECT_TRUE(launcherState.updateFinished) << c.name;
        EXPECT_EQ(launcherState.updateSucceeded, c.ok) << c.name;
        EXPECT_EQ(launcherState.statusDetail.get(), c.ok ? kUpToDate : kFailed) << c.name;
        EXPECT_EQ(launcherState.titleLine.get(),
                  c.ok ? L"Update completed successfully." : L"Update failed.")
            << c.name;
        EXPECT_EQ(launcherState.progressPercent, c.percent) << c.name;
        EXPECT_EQ(faults, 0) << c.name;
        if (!downloading.empty()) EXPECT_EQ(texts.count(downloading), 1u) << c.name;
        for (const std::wstring& text : texts) {
            EXPECT_TRUE(text.empty() || text == (c.ok ? kUpToDate : kFailed) || text == downloading)
                << c.name << ": " << std::string(text.begin(), text.end());
        }
        if (c.throwingProgress) EXPECT_EQ(snapshot(sandbox.game()), folderBefore) << c.name;
    }
}
