#include "updater/FileTransfer.h"

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/Handles.h"
#include "core/SupportLog.h"
#include "updater/BlockList.h"
#include "updater/BlockMatcher.h"
#include "updater/FileHasher.h"
#include "updater/FileMoves.h"
#include "updater/HttpFetcher.h"
#include "updater/ParallelCheck.h"
#include "updater/SelfUpdate.h"
#include "updater/Updater.h"

namespace {

constexpr std::size_t kBlockSize = 256 * 1024;

// Received bytes gathered for one write and one hash call: per call,
// WriteFile and CryptHashData cost far more on the small pieces WinHTTP hands
// over. Not zero-filled: only bytes read into it are used.
// A file smaller than a block gets a block of its own size: most files of a
// fresh install are small, and a block is made for each.
struct Block {
    explicit Block(std::size_t room) : bytes(new char[room]), capacity(room) {}
    std::unique_ptr<char[]> bytes;
    std::size_t capacity;
    std::size_t size = 0;
};

// Hashes blocks on a thread of its own, so that the digest of a download costs
// little time beyond the transfer. At most kQueuedBlocks wait, which bounds
// memory whatever the file size. A file that fits in one block is hashed
// where it is pushed, without a thread. The thread also flushes the file
// every kFlushEvery bytes, so that writing it to disk overlaps the transfer
// and the flush before the rename finds little left to do.
class BackgroundDigest {
public:
    BackgroundDigest() = default;
    BackgroundDigest(const BackgroundDigest&) = delete;
    BackgroundDigest& operator=(const BackgroundDigest&) = delete;
    ~BackgroundDigest() { stop(); }

    bool ok() const { return sha_.ok(); }
    // The file the pushed blocks were written to; set before the first push.
    void flushing(HANDLE file) { file_ = file; }
    // Hands the block over and leaves an empty one in its place.
    void push(Block& block, bool last) {
        if (last && !thread_.joinable()) {
            if (!sha_.update(block.bytes.get(), block.size)) failed_ = true;
            block.size = 0;
            return;
        }
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queue_.size() < kQueuedBlocks; });
        const std::size_t capacity = block.capacity;
        queue_.push_back(std::move(block));
        // A hashed block again where there is one: fresh memory for every
        // block would cost the system a page fault per page of the file.
        if (spare_.empty()) {
            block = Block(capacity);
        } else {
            block = std::move(spare_.back());
            spare_.pop_back();
            block.size = 0;
        }
        changed_.notify_all();
    }
    // Waits for every pushed block; 64 lowercase hex digits or "".
    std::string finish() {
        stop();
        return failed_ ? std::string() : sha_.hexDigest();
    }

private:
    static constexpr std::size_t kQueuedBlocks = 4;
    static constexpr std::size_t kFlushEvery = 16 * 1024 * 1024;

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) return;
            Block block = std::move(queue_.front());
            queue_.pop_front();
            changed_.notify_all();
            lock.unlock();
            const bool hashed = sha_.update(block.bytes.get(), block.size);
            unflushed_ += block.size;
            if (file_ && unflushed_ >= kFlushEvery) {
                FlushFileBuffers(file_);
                unflushed_ = 0;
            }
            lock.lock();
            spare_.push_back(std::move(block));
            if (!hashed) failed_ = true;
        }
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    Sha256 sha_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> queue_;
    std::vector<Block> spare_;  // hashed, for push to hand back
    bool stopping_ = false;
    bool failed_ = false;
    HANDLE file_ = nullptr;
    std::size_t unflushed_ = 0;  // used by the thread alone
    std::thread thread_;
};

// ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

// A local write that failed: a full disk (or a user's quota), or a file that
// is in use, read-only or has a file in the way of its folder.
UpdateFailure localFailure() {
    switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
        return UpdateFailure::DiskSpace;
    default:
        return UpdateFailure::FileInUse;
    }
}

// WriteFile until every byte is written: a disk that is nearly full may take
// part of a write, and only the next one says why it took no more.
bool writeAll(HANDLE file, const char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// Creates the folders on a checked relative path, inside the game folder.
UpdateFailure createFolders(const std::wstring& path) {
    for (std::size_t slash = path.find(L'/'); slash != std::wstring::npos;
         slash = path.find(L'/', slash + 1)) {
        const std::wstring folder = path.substr(0, slash);
        // Asked first: the folders of most files are there already, and a
        // look costs far less than a create that fails.
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (CreateDirectoryW(folder.c_str(), nullptr)) continue;
            attributes = GetFileAttributesW(folder.c_str());  // made meanwhile?
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return UpdateFailure::FileInUse;
        }
    }
    return UpdateFailure::None;
}

// One file on its way from the server into its staging file, with the digest
// of what the staging file holds. The staging file is kept when the transfer
// fails, for the next try or the next start to continue, unless its bytes
// are known to be useless (discard) or the disk is full.
class FileTransfer {
public:
    FileTransfer(const ManifestEntry& entry, const ProgressCallback& onProgress,
                 const Abandoned& abandoned)
        : target_(entry.localPath),
          staging_(target_ + widenForDisplay(kStagingSuffix)),
          size_(entry.size),
          onProgress_(onProgress),
          abandoned_(abandoned),
          name_(entry.path) {}
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;
    ~FileTransfer() {
        // The digest's thread flushes the file: it ends before the handle does.
        digest_.reset();
        file_.reset();
        if (discard_) DeleteFileW(staging_.c_str());
    }

    // Continues a staging file no longer than the file when `resume`
    // allows, hashing the kept bytes once; otherwise the body starts from
    // zero.
    UpdateFailure begin(bool resume) {
        have_ = 0;
        resumed_ = false;
        digest_ = std::make_unique<BackgroundDigest>();
        block_.size = 0;
        if (!digest_->ok()) return UpdateFailure::DamagedData;
        if (!resume || file_) return UpdateFailure::None;
        file_.reset(CreateFileW(staging_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER length{};
        if (!file_ || !GetFileSizeEx(file_.get(), &length) ||
            static_cast<std::uint64_t>(length.QuadPart) > size_) {
            file_.reset();
            return UpdateFailure::None;
        }
        digest_->flushing(file_.get());
        while (true) {
            DWORD read = 0;
            if (!ReadFile(file_.get(), block_.bytes.get(), static_cast<DWORD>(block_.capacity), &read,
                          nullptr)) {
                return localFailure();
            }
            if (read == 0) break;
            block_.size = read;
            have_ += read;
            digest_->push(block_, false);
        }
        resumed_ = have_ != 0;
        if (resumed_ && kept_ == 0) kept_ = have_;
        return UpdateFailure::None;
    }

    // The staging file starts empty (made, with its folders, if need be).
    UpdateFailure restart() {
        have_ = 0;
        resumed_ = false;
        block_.size = 0;
        digest_ = std::make_unique<BackgroundDigest>();
        if (!digest_->ok()) return UpdateFailure::DamagedData;
        if (file_) {
            LARGE_INTEGER zero{};
            if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN) ||
                !SetEndOfFile(file_.get())) {
                return localFailure();
            }
        } else {
            if (const UpdateFailure failure = createFolders(target_);
                failure != UpdateFailure::None) {
                return failure;
            }
            file_.reset(CreateFileW(staging_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file_) return localFailure();
        }
        digest_->flushing(file_.get());
        return UpdateFailure::None;
    }

    // Every byte of the file is staged: nothing is left to fetch.
    bool complete() const { return file_ && have_ == size_; }
    std::uint64_t staged() const { return have_; }
    // The staged bytes go with the transfer: they cannot become the file.
    void discard() { discard_ = true; }

    // One request for the bytes from the end of the staging file up to byte
    // `last` (the file's last, unless a delta asks for a run of blocks). An
    // answer with the whole file (200) starts the staging file over and takes
    // it all. Done: the bytes up to `last`, or the whole file, are staged.
    Attempt attempt(const PatchConnection& via, const std::wstring& url, std::uint64_t last) {
        Request request(via);
        const std::uint64_t from = have_;
        const bool toTheEnd = last + 1 == size_;
        if (!request.send(url, from, toTheEnd ? Request::kToTheEnd : last)) {
            return request.noAnswer();
        }
        const std::wstring asked = L"bytes " + std::to_wstring(from) + L"-" +
                                   std::to_wstring(last) + L"/" + std::to_wstring(size_);
        std::uint64_t end = last + 1;
        if (request.status() == 206 && (from != 0 || !toTheEnd) &&
            request.contentRange() == asked) {
            resumed_ = true;
        } else if (request.status() == 200) {
            if (const UpdateFailure failure = restart(); failure != UpdateFailure::None) {
                return {Attempt::Fail, failure};
            }
            end = size_;
        } else {
            return request.refusal();
        }
        // A body of another length than asked for can never verify.
        if (request.announced() && request.contentLength() != end - have_) {
            return {Attempt::Fail, UpdateFailure::DamagedData};
        }
        while (true) {
            if (block_.size == block_.capacity) {
                if (const UpdateFailure failure = flushBlock(false);
                    failure != UpdateFailure::None) {
                    return {Attempt::Fail, failure};
                }
            }
            DWORD got = 0;
            const Request::Read read =
                request.read(block_.bytes.get() + block_.size,
                             static_cast<DWORD>(block_.capacity - block_.size), got);
            if (read == Request::Read::Broke) break;
            if (read == Request::Read::End) break;
            block_.size += got;
            have_ += got;
            received_ += got;
            // An endless or overlong body is cut off here, not at the end.
            if (have_ > end) return {Attempt::Fail, UpdateFailure::DamagedData};
            if (abandoned_ && abandoned_()) break;
            if (request.announced()) showProgress();
        }
        if (have_ == end) return {Attempt::Done};
        // Cut short: what arrived stays staged for the next try to continue.
        if (const UpdateFailure failure = flushBlock(false); failure != UpdateFailure::None) {
            return {Attempt::Fail, failure};
        }
        return {Attempt::Retry, UpdateFailure::Network, 0, 0, request.lastError()};
    }

    // `length` bytes of the old copy at `at`, staged as the next bytes of the
    // file. False when the old copy cannot be read.
    bool copy(BlockSource& old, std::uint64_t at, std::uint64_t length, UpdateFailure& failure) {
        failure = UpdateFailure::None;
        while (length > 0 && !(abandoned_ && abandoned_())) {
            if (block_.size == block_.capacity) {
                failure = flushBlock(false);
                if (failure != UpdateFailure::None) return true;
            }
            const auto piece = static_cast<std::uint32_t>(
                (std::min)(length, std::uint64_t{block_.capacity - block_.size}));
            if (!copyBlock(old, at, block_.bytes.get() + block_.size, piece)) return false;
            block_.size += piece;
            have_ += piece;
            copied_ += piece;
            at += piece;
            length -= piece;
        }
        showProgress();
        return true;
    }

    bool abandoned() const { return abandoned_ && abandoned_(); }

    // For the log: how the file came together, and the bytes that crossed
    // the network.
    std::string story() const {
        if (copied_ != 0) {
            return "delta: " + std::to_string(copied_) + " bytes found locally, " +
                   std::to_string(received_) + " fetched";
        }
        return kept_ != 0 ? "resumed from byte " + std::to_string(kept_) : "fetched whole";
    }
    std::uint64_t received() const { return received_; }

    // The share of the file in place, under the entry's path.
    void showProgress() const {
        if (onProgress_ && size_ != 0) {
            onProgress_(static_cast<std::int32_t>(have_ * 100 / size_), name_);
        }
    }

    // Closes the staging file, for begin to open it again; its bytes stay.
    void close() {
        digest_.reset();
        file_.reset();
    }
    // Closes and deletes the staging file at once.
    void drop() {
        close();
        DeleteFileW(staging_.c_str());
    }

    // Verifies the whole staged file, flushes it to disk and commits it.
    UpdateFailure finish(const std::string& expectedHash) {
        if (const UpdateFailure failure = flushBlock(true); failure != UpdateFailure::None) {
            return failure;
        }
        if (!sameDigest(digest_->finish(), expectedHash)) return UpdateFailure::DamagedData;
        // On disk before the rename, so that a power cut never leaves a
        // zero-filled file where a good one was.
        if (!FlushFileBuffers(file_.get())) return localFailure();
        file_.reset();
        return commitStagedFile(staging_, target_);
    }

    // True when the staged bytes came from more than one answer, or from an
    // earlier run.
    bool resumed() const { return resumed_; }

private:
    UpdateFailure flushBlock(bool last) {
        if (!writeAll(file_.get(), block_.bytes.get(), block_.size)) return localFailure();
        digest_->push(block_, last);
        return UpdateFailure::None;
    }

    const std::wstring target_;
    const std::wstring staging_;
    const std::uint64_t size_;
    const ProgressCallback& onProgress_;
    const Abandoned& abandoned_;
    const std::string& name_;
    UniqueFile file_;
    std::unique_ptr<BackgroundDigest> digest_;
    // A byte to spare, so that a small file never fills its block (which
    // would hand it to the digest's thread) and a body longer than it shows.
    Block block_{static_cast<std::size_t>((std::min)(size_ + 1, std::uint64_t{kBlockSize}))};
    std::uint64_t have_ = 0;  // bytes staged or waiting in block_
    std::uint64_t received_ = 0, copied_ = 0, kept_ = 0;  // for the log
    bool resumed_ = false;
    bool discard_ = false;
};

// Tries of one file: a try that added progressBytes to the staging file made
// progress and does not count against the tries in a row without progress;
// maxTries bounds them all.
Attempt withProgressRetries(const TransferLimits& limits, FileTransfer& transfer,
                            const PatchConnection& connection, const std::wstring& url,
                            std::uint64_t last, int& tried) {
    for (int barren = 0;;) {
        ++tried;
        const std::uint64_t before = transfer.staged();
        const Attempt result = transfer.attempt(connection, url, last);
        if (result.kind != Attempt::NoResponse && result.kind != Attempt::Retry) return result;
        if (transfer.abandoned()) return {Attempt::Fail, UpdateFailure::Network};
        const bool progressed = transfer.staged() >= before + limits.progressBytes;
        barren = progressed ? 0 : barren + 1;
        if (barren >= limits.attempts || tried >= limits.maxTries) return result;
        waitBeforeTry(limits, barren == 0 ? 1 : barren, result, connection.name() + url);
    }
}

// The entry's block list, fetched on the pass's connection and taken only
// when its size and SHA-256 are the ones the (signed) manifest states.
bool fetchBlockList(const PatchConnection& connection, const ManifestEntry& entry, BlockList& list) {
    constexpr std::uint64_t kMaxListBytes = kBlockListHeader + kMaxBlockCount * (4 + 16);
    if (entry.blocksHash.empty() || entry.blocksSize > kMaxListBytes) return false;
    std::string name = "blocks/" + entry.hash + ".blocks";
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    std::string bytes;
    if (connection.fetchToMemory(name, bytes, static_cast<std::size_t>(entry.blocksSize)) !=
            FetchResult::Complete ||
        bytes.size() != entry.blocksSize) {
        return false;
    }
    Sha256 sha;
    return sha.update(bytes.data(), bytes.size()) && sameDigest(sha.hexDigest(), entry.blocksHash) &&
           readBlockList(bytes, entry.size, list);
}

// A delta: the blocks of the new file found anywhere in the old copy are
// copied from it, each run of missing blocks is fetched with one Range
// request, in order, so the staging file is always the start of the new file
// (a delta cut short resumes like any download). Nothing when the delta
// cannot be made or its result fails the digest: the file is then fetched
// whole.
std::optional<UpdateFailure> fetchDelta(const PatchConnection& connection, const std::wstring& url,
                                        const ManifestEntry& entry, FileTransfer& transfer) {
    BlockList list;
    if (!fetchBlockList(connection, entry, list)) return std::nullopt;
    UniqueFile oldFile(CreateFileW(entry.localPath.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!oldFile) return std::nullopt;
    FileBlockSource old(oldFile.get());
    std::vector<std::uint64_t> foundAt;
    if (!old.ok() || !matchBlocks(list, old, checkThreadCount(), foundAt)) return std::nullopt;
    UpdateFailure failure = transfer.begin(true);
    if (failure == UpdateFailure::None && transfer.staged() == 0) failure = transfer.restart();
    if (failure != UpdateFailure::None) return failure;
    int tried = 0;
    while (!transfer.complete()) {
        if (transfer.abandoned()) return UpdateFailure::Network;
        const std::uint64_t at = transfer.staged();
        std::uint64_t block = at / list.blockSize;
        const std::uint64_t into = at - block * list.blockSize;
        if (foundAt[block] != kNotFound) {
            if (!transfer.copy(old, foundAt[block] + into, list.length(block) - into, failure)) {
                transfer.close();
                return std::nullopt;
            }
            if (failure != UpdateFailure::None) return failure;
            continue;
        }
        while (block < list.count && foundAt[block] == kNotFound) ++block;
        const std::uint64_t last = (std::min)(block * list.blockSize, entry.size) - 1;
        const Attempt result =
            withProgressRetries(connection.limits(), transfer, connection, url, last, tried);
        if (result.kind == Attempt::Done) continue;
        if (result.failure == UpdateFailure::FileInUse || result.failure == UpdateFailure::DiskSpace) {
            return result.failure;
        }
        // The network failed for good: the staging file is kept for the next
        // start. Any other answer (a refused range, a wrong one) means the
        // server cannot be trusted with ranges: the file comes whole, from
        // its first byte.
        if (result.kind != Attempt::Fail) return result.failure;
        transfer.drop();
        return std::nullopt;
    }
    oldFile.reset();  // the new file takes its place
    failure = transfer.finish(entry.hash);
    if (failure != UpdateFailure::DamagedData) return failure;
    transfer.drop();
    return std::nullopt;
}

}  // namespace

UpdateFailure commitStagedFile(const std::wstring& stagingPath, const std::wstring& targetPath) {
    WIN32_FILE_ATTRIBUTE_DATA target{};
    if (GetFileAttributesExW(targetPath.c_str(), GetFileExInfoStandard, &target)) {
        // The running launcher cannot be overwritten, only renamed aside.
        bool replaced = false;
        const std::uint64_t size =
            (static_cast<std::uint64_t>(target.nFileSizeHigh) << 32) | target.nFileSizeLow;
        if (replaceIfRunningLauncher(stagingPath, targetPath, size, replaced)) {
            return replaced ? UpdateFailure::None : localFailure();
        }
        // Windows refuses to replace a read-only file; Wine would replace it.
        if (target.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return UpdateFailure::FileInUse;
    }
    return moveFileWaiting(stagingPath, targetPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? UpdateFailure::None
               : localFailure();
}

UpdateFailure Updater::fetchToFile(PatchConnection& connection, const std::string& name,
                                   const ManifestEntry& entry) const {
    return transferFile(connection, name, entry, onProgress, nullptr);
}

UpdateFailure transferFile(const PatchConnection& connection, const std::string& name,
                           const ManifestEntry& entry, const ProgressCallback& onProgress,
                           const Abandoned& abandoned) {
    if (entry.localPath.empty()) return UpdateFailure::DamagedData;
    if (!connection.handle()) return UpdateFailure::Network;
    const std::wstring url = connection.urlOf(name);
    FileTransfer transfer(entry, onProgress, abandoned);
    const ULONGLONG started = GetTickCount64();
    const std::wstring host = connection.name();
    // One line in the log for the file, whatever way it ends.
    const auto logged = [&](UpdateFailure failure) {
        const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
        char rate[48] = {};
        std::snprintf(rate, sizeof rate, "in %.2f s (%.2f MB/s)", seconds,
                      seconds > 0 ? static_cast<double>(transfer.received()) / 1e6 / seconds : 0.0);
        const std::string failed = failure == UpdateFailure::None
                                       ? ""
                                       : std::string("failed (") + failureName(failure) + "): ";
        logLine(failed + entry.path + " from " + asciiText(host) + ", " +
                std::to_string(entry.size) + " bytes, " + transfer.story() + " " + rate);
        return failure;
    };
    UpdateFailure failure = UpdateFailure::DamagedData;
    // Kept bytes from a killed run or an earlier try may belong to another
    // version of the file: when the whole fails its digest, it is fetched once
    // more from zero.
    try {
        // Only with an old copy to take blocks from; else the file comes
        // whole, continuing a staging file a killed run left.
        if (!entry.blocksHash.empty() &&
            GetFileAttributesW(entry.localPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            if (const std::optional<UpdateFailure> delta =
                    fetchDelta(connection, url, entry, transfer)) {
                failure = *delta;
                if (failure == UpdateFailure::DamagedData || failure == UpdateFailure::DiskSpace) {
                    transfer.discard();
                }
                return logged(failure);
            }
        }
        for (const bool resume : {true, false}) {
            failure = transfer.begin(resume);
            if (failure != UpdateFailure::None) break;
            if (!transfer.complete()) {
                int tried = 0;
                const Attempt result = withProgressRetries(connection.limits(), transfer,
                                                           connection, url, entry.size - 1, tried);
                failure = result.failure;
                if (result.kind != Attempt::Done) break;
            }
            failure = transfer.finish(entry.hash);
            if (failure != UpdateFailure::DamagedData || !transfer.resumed()) break;
        }
    } catch (...) {
        // Whatever was staged when something unexpected broke off is not trusted.
        transfer.discard();
        throw;
    }
    // Bytes that failed their digest or came from a broken answer are of no
    // use; on a full disk their space is given back.
    if (failure == UpdateFailure::DamagedData || failure == UpdateFailure::DiskSpace) {
        transfer.discard();
    }
    return logged(failure);
}
