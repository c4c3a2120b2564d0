#include "updater/ParallelFetch.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "updater/FileTransfer.h"

namespace {

// What the player sees of files fetched side by side: the earliest one in
// manifest order still in flight, named, with its share; a later file's
// progress shows once every file before it has ended.
class ProgressBoard {
public:
    explicit ProgressBoard(const ProgressCallback& out) : out_(out) {}

    void started(std::size_t file) {
        const std::lock_guard<std::mutex> lock(mutex_);
        inFlight_.emplace(file, Report{});
    }
    void report(std::size_t file, std::int32_t percent, const std::string& name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Report& last = inFlight_[file];
        last = {percent, name};
        if (inFlight_.begin()->first == file) show(last);
    }
    void ended(std::size_t file) {
        const std::lock_guard<std::mutex> lock(mutex_);
        inFlight_.erase(file);
        if (!inFlight_.empty()) show(inFlight_.begin()->second);
    }

private:
    struct Report {
        std::int32_t percent = -1;  // none yet
        std::string name;
    };
    void show(const Report& report) const {
        if (out_ && report.percent >= 0) out_(report.percent, report.name);
    }

    const ProgressCallback& out_;
    std::mutex mutex_;
    std::map<std::size_t, Report> inFlight_;
};

// A server that cannot deliver a file leaves it to the next one; a local
// failure (the disk, a file held) is the same from every server.
bool anotherServerMayDeliver(UpdateFailure failure) {
    return failure == UpdateFailure::Network || failure == UpdateFailure::DamagedData;
}

class Pass {
public:
    Pass(const std::vector<const PatchConnection*>& hosts,
         const std::vector<const ManifestEntry*>& files, const ProgressCallback& onProgress,
         const FetchedCallback& onFetched)
        : hosts_(hosts),
          files_(files),
          onFetched_(onFetched),
          board_(onProgress),
          failures_(files.size()) {}

    // Takes files in order until none is left or one has failed.
    void work() {
        while (true) {
            const std::size_t file = next_++;
            if (file >= files_.size() || firstFailed_.load() != kNone) return;
            UpdateFailure failure = UpdateFailure::Network;
            board_.started(file);
            try {
                failure = fetch(file);
                if (failure == UpdateFailure::None && onFetched_) {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    onFetched_(files_[file]->path);
                }
            } catch (...) {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (!thrown_) thrown_ = std::current_exception();
            }
            board_.ended(file);
            if (failure != UpdateFailure::None) fail(file, failure);
        }
    }

    UpdateFailure outcome() const {
        if (thrown_) std::rethrow_exception(thrown_);
        const std::size_t first = firstFailed_.load();
        return first == kNone ? UpdateFailure::None : failures_[first];
    }

private:
    static constexpr std::size_t kNone = ~std::size_t{0};

    UpdateFailure fetch(std::size_t file) {
        const ManifestEntry& entry = *files_[file];
        const ProgressCallback progress = [this, file](std::int32_t percent,
                                                       const std::string& name) {
            board_.report(file, percent, name);
        };
        // Stopped once an earlier file failed: nothing after it counts.
        const Abandoned abandoned = [this, file] { return firstFailed_.load() < file; };
        UpdateFailure failure = UpdateFailure::Network;
        for (const PatchConnection* host : hosts_) {
            failure = transferFile(*host, entry.path, entry, progress, abandoned);
            if (!anotherServerMayDeliver(failure) || abandoned()) break;
        }
        return failure;
    }

    void fail(std::size_t file, UpdateFailure failure) {
        const std::lock_guard<std::mutex> lock(mutex_);
        failures_[file] = failure;
        if (file < firstFailed_.load()) firstFailed_ = file;
    }

    const std::vector<const PatchConnection*>& hosts_;
    const std::vector<const ManifestEntry*>& files_;
    const FetchedCallback& onFetched_;
    ProgressBoard board_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> firstFailed_{kNone};
    std::mutex mutex_;
    std::vector<UpdateFailure> failures_;  // by file, written under mutex_
    std::exception_ptr thrown_;
};

}  // namespace

UpdateFailure fetchAll(const std::vector<const PatchConnection*>& hosts,
                       const std::vector<const ManifestEntry*>& files, int connections,
                       const ProgressCallback& onProgress, const FetchedCallback& onFetched) {
    Pass pass(hosts, files, onProgress, onFetched);
    std::vector<std::thread> helpers;
    const std::size_t wanted =
        std::min(files.size(), static_cast<std::size_t>(std::max(1, connections)));
    try {
        while (helpers.size() + 1 < wanted) helpers.emplace_back([&pass] { pass.work(); });
    } catch (const std::exception&) {
        // No thread or no memory for one (std::system_error, std::bad_alloc):
        // fewer threads than asked for still fetch every file, and the ones
        // started must be joined.
    }
    pass.work();
    for (std::thread& helper : helpers) helper.join();
    return pass.outcome();
}
