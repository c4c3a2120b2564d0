#include "updater/ParallelCheck.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "updater/VerificationRecords.h"

namespace {

constexpr int kMaxThreads = 4;
// Entries a thread may start ahead of the walk, per thread: enough to keep
// every thread busy on runs of small files, few enough that the results
// waiting for the walk stay a handful.
constexpr std::size_t kAheadPerThread = 8;

std::atomic<int> checkThreads{0};

int poolSize() {
    const int chosen = checkThreads.load();
    if (chosen > 0) return std::min(chosen, kMaxThreads);
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    int cores = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) ++cores;
    }
    if (cores == 0) {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        cores = static_cast<int>(info.dwNumberOfProcessors);
    }
    return std::clamp(cores, 1, kMaxThreads);
}

// The walk's view of the entries' decisions: taken strictly in manifest
// order, while the pool works on the next few. Without a pool each decision
// is made when it is asked for.
class LookAhead {
public:
    LookAhead(const std::vector<ManifestEntry>& entries, int threads, VerificationRecords& records)
        : entries_(entries),
          records_(records),
          window_(kAheadPerThread * static_cast<std::size_t>(threads)),
          results_(window_, kPending) {
        if (threads < 2 || entries.size() < 2) return;
        try {
            for (int i = 0; i < threads; ++i) pool_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            // No thread or no memory for one: fewer threads than asked for
            // still give every result; with none, the walk decides on its
            // own. Escaping, it would leave the started ones unjoined.
        }
    }
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;
    // Files being hashed are finished; nothing further is started.
    ~LookAhead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : pool_) thread.join();
    }

    // Entry i's decision; i counts up from 0 by one on every call.
    bool upToDate(std::size_t i) {
        if (pool_.empty()) return records_.upToDate(i, block_);
        std::unique_lock<std::mutex> lock(mutex_);
        signed char& slot = results_[i % window_];
        changed_.wait(lock, [&] { return slot != kPending; });
        const bool result = slot == kUpToDate;
        slot = kPending;
        taken_ = i + 1;
        changed_.notify_all();
        return result;
    }

private:
    static constexpr signed char kPending = -1;
    static constexpr signed char kStale = 0;
    static constexpr signed char kUpToDate = 1;

    void work() {
        std::vector<unsigned char> block;
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            // Entry next_ uses the slot of entry next_ - window_, which is
            // free once the walk has taken that one.
            changed_.wait(lock, [this] {
                return stopping_ || next_ >= entries_.size() || next_ < taken_ + window_;
            });
            if (stopping_ || next_ >= entries_.size()) return;
            const std::size_t i = next_++;
            lock.unlock();
            bool fresh = false;
            try {
                fresh = records_.upToDate(i, block);
            } catch (...) {
                // Out of memory for a path: the file counts as changed, as
                // one that cannot be read does.
                fresh = false;
            }
            lock.lock();
            results_[i % window_] = fresh ? kUpToDate : kStale;
            changed_.notify_all();
        }
    }

    const std::vector<ManifestEntry>& entries_;
    VerificationRecords& records_;
    const std::size_t window_;
    std::vector<signed char> results_;  // by entry index modulo window_
    std::vector<unsigned char> block_;  // the walk's own, without a pool
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;   // the next entry a thread starts on
    std::size_t taken_ = 0;  // entries the walk has taken
    bool stopping_ = false;
    std::vector<std::thread> pool_;  // last: started once the rest exists
};

}  // namespace

int checkThreadCount() {
    return poolSize();
}

int setCheckThreads(int threads) {
    return checkThreads.exchange(threads < 0 ? 0 : threads);
}

std::vector<std::size_t> entriesToFetch(const std::vector<ManifestEntry>& entries,
                                         VerificationRecords& records) {
    std::vector<std::size_t> toFetch;
    LookAhead ahead(entries, poolSize(), records);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!ahead.upToDate(i)) toFetch.push_back(i);
        records.saveIfDue();
    }
    return toFetch;
}
