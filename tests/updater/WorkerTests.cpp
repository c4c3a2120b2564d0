#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"
#include "app/LauncherState.h"
#include "updater/Manifest.h"
#include "updater/UpdateWorker.h"
#include "updater/Updater.h"

using namespace testing_support;

namespace {

const std::wstring kUpToDate = L"All files are up to date!";
const std::wstring kFailed = L"Error: Check your connection.";

void resetState() {
    launcherState.window = nullptr;
    launcherState.progressPercent = 0;
    launcherState.updateFinished = false;
    launcherState.updateSucceeded = false;
    launcherState.statusDetail.set(L"");
    launcherState.titleLine.set(L"Checking for updates...");
}

// Samples the shared record from another thread, as the window thread does,
// while the worker runs, and records every ordering violation it sees.
class Watcher {
public:
    Watcher() : thread_([this] { watch(); }) {}
    ~Watcher() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::set<std::wstring> texts;
    int violations = 0;
    int zeroPercentReports = 0;

private:
    void watch() {
        while (!stop_) {
            const bool finished = launcherState.updateFinished;
            const bool succeeded = launcherState.updateSucceeded;
            const std::int32_t percent = launcherState.progressPercent;
            const std::wstring text = launcherState.statusDetail.get();
            const bool finishedAfter = launcherState.updateFinished;
            texts.insert(text);
            // Read in the reverse of the write order: success or an outcome
            // text seen before the end of the pass would be out of order.
            if (succeeded && !finished) ++violations;
            if ((text == kUpToDate || text == kFailed) && !finishedAfter) ++violations;
            if (text.compare(0, 13, L"Downloading: ") == 0 && percent == 0) ++zeroPercentReports;
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Updater workerUpdater(const std::string& host, const std::string& prefix) {
    return Updater{host, "/" + prefix + "/", false, reportProgress};
}

}  // namespace

TEST(UpdateWorkerTest, UpToDatePassReportsSuccessOnlyAtTheEnd) {
    REQUIRE_SERVER();
    Sandbox sandbox("worker-uptodate");
    resetState();
    publish("w-same/manifest.json", manifestFor({{"a.bin", "same"}}));
    sandbox.put("a.bin", "same");
    Watcher watcher;
    runUpdate(workerUpdater(kHost, "w-same"));
    watcher.stop();
    EXPECT_TRUE(launcherState.updateFinished);
    EXPECT_TRUE(launcherState.updateSucceeded);
    EXPECT_EQ(launcherState.statusDetail.get(), kUpToDate);
    EXPECT_EQ(launcherState.titleLine.get(), L"Update completed successfully.");
    EXPECT_EQ(launcherState.progressPercent, 0);
    EXPECT_EQ(watcher.violations, 0);
    for (const std::wstring& text : watcher.texts) {
        EXPECT_TRUE(text.empty() || text == kUpToDate) << std::string(text.begin(), text.end());
    }
}

TEST(UpdateWorkerTest, DownloadShowsTheFileAndKeepsTheLastPercentage) {
    REQUIRE_SERVER();
    Sandbox sandbox("worker-download");
    resetState();
    CreateDirectoryW(sandbox.at("data").c_str(), nullptr);
    const std::string content = patternBytes(1000);
    publish("w-dl/data/thousand.bin", content);
    publish("w-dl/data/thousand.bin.how", "chunks=300.300.400\ndelay=300\n");
    publish("w-dl/manifest.json", manifestFor({{"data/thousand.bin", content}}));
    Watcher watcher;
    runUpdate(workerUpdater(kHost, "w-dl"));
    watcher.stop();
    EXPECT_TRUE(launcherState.updateFinished);
    EXPECT_TRUE(launcherState.updateSucceeded);
    EXPECT_EQ(launcherState.statusDetail.get(), kUpToDate);
    EXPECT_EQ(launcherState.progressPercent, 100);
    EXPECT_EQ(sandbox.content("data/thousand.bin"), content);
    EXPECT_EQ(watcher.violations, 0);
    EXPECT_EQ(watcher.zeroPercentReports, 0) << "no report before the first chunk";
    EXPECT_EQ(watcher.texts.count(L"Downloading: data/thousand.bin"), 1u);
    for (const std::wstring& text : watcher.texts) {
        EXPECT_TRUE(text.empty() || text == kUpToDate || text == L"Downloading: data/thousand.bin")
            << std::string(text.begin(), text.end());
    }
}

TEST(UpdateWorkerTest, FailuresShowTheSameErrorLine) {
    REQUIRE_SERVER();
    Sandbox sandbox("worker-failure");
    resetState();
    const std::vector<FileSpec> files = {
        {"one.bin", patternBytes(1000)}, {"gone/two.bin", "2"}, {"three.bin", "3"}};
    for (const FileSpec& f : files) publish("w-fail/" + f.path, f.content);
    publish("w-fail/one.bin.how", "chunks=500.500\n");
    publish("w-fail/manifest.json", manifestFor(files));
    Watcher watcher;
    runUpdate(workerUpdater(kHost, "w-fail"));
    watcher.stop();
    EXPECT_TRUE(launcherState.updateFinished);
    EXPECT_FALSE(launcherState.updateSucceeded);
    EXPECT_EQ(launcherState.statusDetail.get(), kFailed);
    EXPECT_EQ(launcherState.titleLine.get(), L"Update failed.");
    EXPECT_EQ(launcherState.progressPercent, 100);
    EXPECT_EQ(watcher.texts.count(L"Downloading: one.bin"), 1u);
    EXPECT_EQ(watcher.violations, 0);
}

TEST(UpdateWorkerTest, NoServerDependsOnMainExe) {
    for (bool present : {false, true}) {
        Sandbox sandbox("worker-fallback");
        if (present) sandbox.put("Main.exe", "MZ");
        resetState();
        runUpdate(workerUpdater(kDeadHost, "patch"));
        EXPECT_TRUE(launcherState.updateFinished);
        EXPECT_EQ(launcherState.updateSucceeded, present);
        EXPECT_EQ(launcherState.statusDetail.get(), present ? kUpToDate : kFailed);
    }
}

TEST(UpdateWorkerTest, AnExceptionFromThePassStillEndsInOneFailureReport) {
    REQUIRE_SERVER();
    Sandbox sandbox("worker-throw");
    resetState();
    const std::string content = patternBytes(1000);
    publish("w-throw/t.bin", content);
    publish("w-throw/manifest.json", manifestFor({{"t.bin", content}}));
    sandbox.put("t.bin", "old");
    const Updater throwing{kHost, "/w-throw/", false, [](std::int32_t, const std::string&) {
                               throw std::runtime_error("progress failed");
                           }};
    runUpdate(throwing);
    EXPECT_TRUE(launcherState.updateFinished);
    EXPECT_FALSE(launcherState.updateSucceeded);
    EXPECT_EQ(launcherState.statusDetail.get(), kFailed);
    EXPECT_EQ(sandbox.content("t.bin"), "old");
    EXPECT_FALSE(exists(sandbox.at("t.bin") + widen(kStagingSuffix)));
}
