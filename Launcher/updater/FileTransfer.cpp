#include "updater/FileTransfer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <zlib.h>

#include "core/Handles.h"
#include "core/SupportLog.h"
#include "updater/BlockList.h"
#include "updater/BlockMatcher.h"
#include "updater/FileHasher.h"
#include "updater/FileMoves.h"
#include "updater/HttpFetcher.h"
#include "updater/ParallelCheck.h"
#include "updater/PatchAddress.h"
#include "updater/SelfUpdate.h"

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
// where it is pushed, without a thread. A second thread flushes the file
// every kFlushEvery bytes, so that writing it to disk overlaps the transfer
// and the flush before the rename finds little left to do; a flush may take
// as long as hashing several blocks, so hashing never waits for one.
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
        if (!thread_.joinable()) start();
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
    static constexpr std::size_t kQueuedBlocks = 2;
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
            lock.lock();
            if (unflushed_ >= kFlushEvery) {
                unflushed_ = 0;
                flushDue_ = true;
                changed_.notify_all();
            }
            spare_.push_back(std::move(block));
            if (!hashed) failed_ = true;
        }
    }
    void flushWhenDue() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return flushDue_ || stopping_; });
            if (!flushDue_) return;
            flushDue_ = false;
            lock.unlock();
            FlushFileBuffers(file_);
            lock.lock();
        }
    }
    // The flushing thread first: should the hashing one fail to start,
    // stop() still joins what did.
    void start() {
        if (file_) flusher_ = std::thread([this] { flushWhenDue(); });
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (flusher_.joinable()) flusher_.join();
    }

    Sha256 sha_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> queue_;
    std::vector<Block> spare_;  // hashed, for push to hand back
    bool stopping_ = false;
    bool failed_ = false;
    bool flushDue_ = false;
    HANDLE file_ = nullptr;
    std::size_t unflushed_ = 0;  // used by the hashing thread alone
    std::thread flusher_;
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

// Stages the bytes of the file up to an offset from elsewhere than the answer.
using FillTo = std::function<UpdateFailure(std::uint64_t)>;

// The body of an answer, read as bytes or, between the parts of a
// multipart answer, as lines.
class BodyReader {
public:
    explicit BodyReader(Request& request) : request_(request) {}

    // The next line without its CRLF; false when the body ended or broke
    // first, or the line is too long to be a part's header.
    bool line(std::string& text) {
        text.clear();
        while (true) {
            for (; at_ < size_; ++at_) {
                if (buffer_[at_] == '\n') {
                    ++at_;
                    if (!text.empty() && text.back() == '\r') text.pop_back();
                    return true;
                }
                if (text.size() == 1024) return false;
                text += buffer_[at_];
            }
            at_ = size_ = 0;
            if ((last_ = request_.read(buffer_, sizeof buffer_, size_)) != Request::Read::Data) {
                return false;
            }
        }
    }
    // Up to `room` bytes: those read ahead for a line first.
    Request::Read read(char* into, DWORD room, DWORD& got) {
        if (at_ == size_) return last_ = request_.read(into, room, got);
        got = (std::min)(room, size_ - at_);
        std::memcpy(into, buffer_ + at_, got);
        at_ += got;
        return Request::Read::Data;
    }
    bool broke() const { return last_ == Request::Read::Broke; }
    DWORD lastError() const { return request_.lastError(); }
    Request& request() { return request_; }

private:
    Request& request_;
    char buffer_[4096];
    DWORD at_ = 0, size_ = 0;
    Request::Read last_ = Request::Read::Data;
};

// One gzip member (RFC 1952: zlib checks its CRC-32 and length too) as the
// body of an answer, inflated as its bytes arrive: no more of them than
// signed, and nothing after the member.
class GzipBody {
public:
    GzipBody(BodyReader& body, std::uint64_t signedSize) : body_(body), signed_(signedSize) {
        ok_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
    }
    GzipBody(const GzipBody&) = delete;
    GzipBody& operator=(const GzipBody&) = delete;
    ~GzipBody() {
        if (ok_) inflateEnd(&z_);
    }
    bool ok() const { return ok_; }

    // Up to `room` inflated bytes: Data, or how the body ended. A body that
    // cannot be the member ends it there (damaged).
    Request::Read read(char* into, DWORD room, DWORD& made) {
        made = 0;
        if (z_.avail_in == 0) {
            DWORD got = 0;
            const Request::Read read =
                body_.read(piece_.data(), static_cast<DWORD>(piece_.size()), got);
            if (read != Request::Read::Data) return read;
            arrived_ += got;
            if (arrived_ > signed_ || ended_) return damage();
            z_.next_in = reinterpret_cast<Bytef*>(piece_.data());
            z_.avail_in = got;
        }
        z_.next_out = reinterpret_cast<Bytef*>(into);
        z_.avail_out = room;
        const int status = inflate(&z_, Z_NO_FLUSH);
        made = room - z_.avail_out;
        ended_ = status == Z_STREAM_END;
        // Called with input and room only, so Z_BUF_ERROR (no progress
        // possible) means a stream that is stuck.
        if (!ended_ && status != Z_OK) return damage();
        return ended_ && z_.avail_in != 0 ? damage() : Request::Read::Data;
    }
    // The member ended, and nothing was wrong with the body up to there.
    bool complete() const { return ended_ && !damaged_; }
    // The body was cut before its member ended: it broke, was abandoned or
    // stopped short of its announced length. One that ended in full first
    // is a truncated copy.
    bool cut(bool abandoned) const {
        const Request& request = body_.request();
        return !ended_ && !damaged_ &&
               (body_.broke() || abandoned ||
                (request.announced() && arrived_ < request.contentLength()));
    }
    std::uint64_t arrived() const { return arrived_; }

private:
    Request::Read damage() {
        damaged_ = true;
        return Request::Read::End;
    }

    BodyReader& body_;
    const std::uint64_t signed_;
    std::vector<char> piece_ = std::vector<char>(64 * 1024);
    z_stream z_{};
    std::uint64_t arrived_ = 0;
    bool ok_ = false, ended_ = false, damaged_ = false;
};

// "bytes FIRST-LAST/SIZE" (a Content-Range) as FIRST and LAST + 1, the
// size being the file's.
bool readContentRange(const std::string& text, std::uint64_t size, std::uint64_t& first,
                      std::uint64_t& end) {
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos || text.compare(at, 6, "bytes ") != 0) return false;
    at += 6;
    std::uint64_t values[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::size_t start = at;
        for (; at < text.size() && at - start < 19 && text[at] >= '0' && text[at] <= '9'; ++at) {
            values[i] = values[i] * 10 + static_cast<std::uint64_t>(text[at] - '0');
        }
        if (at == start || (at < text.size() ? text[at++] : '\0') != "-/"[i]) return false;
    }
    if (values[0] > values[1] || values[1] >= size || values[2] != size) return false;
    first = values[0];
    end = values[1] + 1;
    return true;
}

// The boundary of a multipart/byteranges Content-Type, or "".
std::string boundaryOf(const std::string& type) {
    if (_strnicmp(type.c_str(), "multipart/byteranges", 20) != 0) return {};
    const std::size_t at = type.find("boundary=");
    if (at == std::string::npos) return {};
    std::string boundary = type.substr(at + 9, type.find(';', at) - at - 9);
    if (boundary.size() > 1 && boundary.front() == '"' && boundary.back() == '"')
        boundary = boundary.substr(1, boundary.size() - 2);
    return boundary;
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
          name_(entry.path),
          object_(entry.object),
          gzipSize_(entry.object.empty() ? 0 : entry.gzipSize) {}
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
        resumed_ = inflated_ = false;
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
        if (resumed_) showProgress();
        return UpdateFailure::None;
    }

    // The staging file starts empty (made, with its folders, if need be).
    UpdateFailure restart() {
        have_ = 0;
        resumed_ = inflated_ = false;
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

    // One request for `ranges` (ascending, the first from the end of the
    // staging file, or from a later offset when `fill` stages the bytes
    // before it: the found blocks between the ranges of a delta, copied
    // while the answer is on its way). An answer with the whole file (200)
    // to a request for one range starts the staging file over and takes it
    // all. Done: the ranges are staged, or the server showed it cannot send
    // several ranges in one answer (severalRanges() is false from then on,
    // and the caller asks again).
    Attempt attempt(const PatchConnection& via, const std::wstring& url, const ByteRanges& ranges,
                    const FillTo& fill = nullptr) {
        Request request(via);
        const std::uint64_t from = ranges.front().first, last = ranges.back().second;
        const bool several = ranges.size() > 1;
        const bool whole = from == 0 && last + 1 == size_;
        ByteRanges asked = whole ? ByteRanges{} : ranges;
        if (!whole && !several && last + 1 == size_) asked[0].second = Request::kToTheEnd;
        if (!request.send(url, asked)) return request.noAnswer();
        if (const UpdateFailure failure = fillTo(fill, from, request);
            failure != UpdateFailure::None || have_ != from) {
            return {Attempt::Fail,
                    failure == UpdateFailure::None ? UpdateFailure::DamagedData : failure};
        }
        BodyReader body(request);
        std::uint64_t first = 0, end = 0;
        const std::string boundary = boundaryOf(asciiText(request.contentType()));
        if (request.status() == 206 && !whole &&
            readContentRange(asciiText(request.contentRange()), size_, first, end) &&
            first == from && (end == last + 1 || (several && end <= last + 1))) {
            resumed_ = true;
        } else if (request.status() == 200 && !several) {
            if (const UpdateFailure failure = restart(); failure != UpdateFailure::None) {
                return {Attempt::Fail, failure};
            }
            end = size_;
        } else if (request.status() == 206 && several && !boundary.empty()) {
            resumed_ = true;
            return takeParts(body, "--" + boundary, ranges, fill);
        } else if (several && (request.status() == 200 || request.status() == 206)) {
            severalRanges_ = false;
            return {Attempt::Done};
        } else {
            return request.refusal();
        }
        // A body of another length than asked for can never verify.
        if (request.announced() && request.contentLength() != end - have_) {
            return {Attempt::Fail, UpdateFailure::DamagedData};
        }
        return take(body, end, false, request.announced());
    }

    bool severalRanges() const { return severalRanges_; }

    // The whole file from its compressed copy at `url` (no more bytes than
    // signed), inflated into the staging file from its first byte. Done: the
    // stream ended with the file's size staged. Retry: the answer was cut,
    // and what was inflated stays staged. Fail with DamagedData: the copy
    // cannot give the file (refused, longer than signed, not gzip, inflating
    // past the file's size or ending short of it), and the raw object must.
    Attempt inflateFrom(const PatchConnection& via, const std::wstring& url) {
        Request request(via);
        if (!request.send(url, 0)) return request.noAnswer();
        const Attempt unusable{Attempt::Fail, UpdateFailure::DamagedData, 0, request.status()};
        if (request.status() != 200) {
            const Attempt refused = request.refusal();
            return refused.kind == Attempt::Retry ? refused : unusable;
        }
        if (request.announced() && request.contentLength() > gzipSize_) return unusable;
        if (const UpdateFailure failure = restart(); failure != UpdateFailure::None) {
            return {Attempt::Fail, failure};
        }
        inflated_ = true;
        BodyReader body(request);
        GzipBody gzip(body, gzipSize_);
        const Attempt taken = gzip.ok() ? take(body, size_, false, true, &gzip) : unusable;
        received_ += gzip.arrived();
        compressedReceived_ += gzip.arrived();
        return taken;
    }
    // The staged bytes came from a compressed copy.
    bool inflated() const { return inflated_; }
    // There is a compressed copy, and it has not failed yet.
    bool compressedLeft() const { return gzipSize_ != 0 && !compressedFailed_; }
    // The compressed copy could not give the file: the raw object did.
    void compressedFailed() { compressedFailed_ = true; }

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
        std::string text = kept_ != 0 ? "resumed from byte " + std::to_string(kept_)
                                      : std::string("fetched whole");
        if (copied_ != 0) {
            text = "delta: " + std::to_string(copied_) + " bytes found locally, " +
                   std::to_string(received_) + " fetched and " + std::to_string(listBytes_) +
                   " of block list";
        }
        if (object_.empty()) return text;
        const std::string compressed = std::to_string(compressedReceived_);
        std::string from = "object " + object_;
        if (compressedFailed_) {
            from += ".gz unusable after " + compressed + " bytes, then raw";
        } else if (compressedReceived_ != 0) {
            from += compressedReceived_ == received_
                        ? ".gz, compressed"
                        : ".gz, compressed for " + compressed + " bytes, then raw";
        } else {
            from += ", raw";
        }
        return from + ", " + text + ", " + std::to_string(received_) + " bytes on the wire";
    }
    std::uint64_t received() const { return received_; }
    void listFetched(std::uint64_t bytes) { listBytes_ = bytes; }

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
    // The body's bytes (with `gzip`, inflated from it) into the staging
    // file up to offset `end`: Done, or Retry with what arrived staged when
    // the body was cut short. A part ends at `end`; a whole body is read on
    // to its end, so that one longer than announced fails, and so does a
    // compressed copy that cannot give the file.
    Attempt take(BodyReader& body, std::uint64_t end, bool part, bool announced,
                 GzipBody* gzip = nullptr) {
        while (!part || have_ < end) {
            if (block_.size == block_.capacity) {
                if (const UpdateFailure failure = flushBlock(false);
                    failure != UpdateFailure::None) {
                    return {Attempt::Fail, failure};
                }
            }
            std::uint64_t room = block_.capacity - block_.size;
            if (part) room = (std::min)(room, end - have_);
            char* const into = block_.bytes.get() + block_.size;
            DWORD got = 0;
            if ((gzip ? gzip->read(into, static_cast<DWORD>(room), got)
                      : body.read(into, static_cast<DWORD>(room), got)) != Request::Read::Data) {
                break;
            }
            block_.size += got;
            have_ += got;
            if (!gzip) received_ += got;
            // An endless or overlong body is cut off here, not at the end.
            if (have_ > end) return {Attempt::Fail, UpdateFailure::DamagedData};
            if (abandoned()) break;
            if (announced) showProgress();
        }
        if (have_ == end && (!gzip || gzip->complete())) return {Attempt::Done};
        if (gzip && !gzip->cut(abandoned())) return {Attempt::Fail, UpdateFailure::DamagedData};
        // Cut short: what arrived stays staged for the next try to continue.
        return cutShort(body);
    }

    // The parts of a multipart/byteranges answer, each exactly one of the
    // ranges asked for, in order, with the found bytes before it filled in.
    // Anything else ends the answer and the asking for several ranges at
    // once: what was staged stays, and the file's digest has the last word.
    Attempt takeParts(BodyReader& body, const std::string& boundary, const ByteRanges& ranges,
                      const FillTo& fill) {
        std::string line;
        for (const auto& [from, last] : ranges) {
            // Blank lines before the boundary: a preamble, or the CRLF that
            // ends the part before.
            do {
                if (!body.line(line)) return cutShort(body);
            } while (line.empty());
            bool matches = line == boundary;
            std::uint64_t first = 0, end = 0;
            while (matches && body.line(line) && !line.empty()) {
                if (line.size() > 14 && _strnicmp(line.c_str(), "content-range:", 14) == 0) {
                    matches = readContentRange(line.substr(14), size_, first, end) &&
                              first == from && end == last + 1;
                }
            }
            if (body.broke()) return cutShort(body);
            if (!matches || end == 0 || !line.empty()) {
                severalRanges_ = false;
                return {Attempt::Done};
            }
            if (const UpdateFailure failure = fillTo(fill, from, body.request());
                failure != UpdateFailure::None) {
                return {Attempt::Fail, failure};
            }
            const Attempt taken = take(body, end, true, true);
            if (taken.kind != Attempt::Done) return taken;
        }
        // The closing boundary, read so that the connection can be kept.
        for (int lines = 0; lines < 3 && body.line(line); ++lines) {
        }
        return {Attempt::Done};
    }

    // The found bytes up to `to`, while the answer waits.
    static UpdateFailure fillTo(const FillTo& fill, std::uint64_t to, Request& request) {
        if (!fill) return UpdateFailure::None;
        const UpdateFailure failure = fill(to);
        request.clockFromNow();
        return failure;
    }

    Attempt cutShort(const BodyReader& body) {
        if (const UpdateFailure failure = flushBlock(false); failure != UpdateFailure::None) {
            return {Attempt::Fail, failure};
        }
        return {Attempt::Retry, UpdateFailure::Network, 0, 0, body.lastError()};
    }

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
    const std::string& object_;
    const std::uint64_t gzipSize_;  // of the compressed copy, 0 if none
    UniqueFile file_;
    std::unique_ptr<BackgroundDigest> digest_;
    // A byte to spare, so that a small file never fills its block (which
    // would hand it to the digest's thread) and a body longer than it shows.
    Block block_{static_cast<std::size_t>((std::min)(size_ + 1, std::uint64_t{kBlockSize}))};
    std::uint64_t have_ = 0;  // bytes staged or waiting in block_
    std::uint64_t received_ = 0, copied_ = 0, kept_ = 0, listBytes_ = 0;  // for the log
    bool resumed_ = false;
    bool discard_ = false;
    bool severalRanges_ = true;
    bool inflated_ = false;
    bool compressedFailed_ = false;
    std::uint64_t compressedReceived_ = 0;  // for the log
};

// Tries of one file: a failed try that added progressBytes to the staging
// file made progress and does not count against the tries in a row without
// progress; maxTries bounds the failed tries of the whole file (a delta's
// answered requests are progress, however small). An abandoned transfer sends
// nothing more, not even after a wait.
Attempt withProgressRetries(const TransferLimits& limits, FileTransfer& transfer,
                            const std::wstring& where, const std::function<Attempt()>& tryOnce,
                            int& failed) {
    for (int barren = 0;;) {
        const std::uint64_t before = transfer.staged();
        const Attempt result = tryOnce();
        if (result.kind != Attempt::NoResponse && result.kind != Attempt::Retry) return result;
        ++failed;
        if (transfer.abandoned()) return {Attempt::Fail, UpdateFailure::Network};
        const bool progressed = transfer.staged() >= before + limits.progressBytes;
        barren = progressed ? 0 : barren + 1;
        if (barren >= limits.attempts || failed >= limits.maxTries) return result;
        waitBeforeTry(limits, barren == 0 ? 1 : barren, result, where);
        if (transfer.abandoned()) return {Attempt::Fail, UpdateFailure::Network};
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

// Missing runs asked for in one request: zsync asks for up to 20 at once.
constexpr std::size_t kRangesPerRequest = 24;

// The next runs of missing blocks from offset `at` on, at most `count`.
ByteRanges missingRuns(const BlockList& list, const std::vector<std::uint64_t>& foundAt,
                       std::uint64_t at, std::size_t count) {
    ByteRanges runs;
    for (std::uint64_t block = at / list.blockSize; block < list.count && runs.size() < count;) {
        std::uint64_t end = block;
        while (end < list.count && foundAt[end] == kNotFound) ++end;
        if (end != block) {
            runs.emplace_back((std::max)(at, block * list.blockSize),
                              (std::min)(end * list.blockSize, list.fileSize) - 1);
        }
        block = end + 1;
    }
    return runs;
}

// A delta: the blocks of the new file found anywhere in the old copy are
// copied from it, the runs of missing blocks are fetched with Range requests
// of several runs each, in order, so the staging file is always the start of
// the new file (a delta cut short resumes like any download). Nothing when
// the delta cannot be made or its result fails the digest: the file is then
// fetched whole.
std::optional<UpdateFailure> fetchDelta(const PatchConnection& connection, const std::wstring& url,
                                        const ManifestEntry& entry, FileTransfer& transfer) {
    // A staging file already whole (its commit was refused, say) needs
    // neither the list nor the old copy.
    UpdateFailure failure = transfer.begin(true);
    if (failure != UpdateFailure::None) return failure;
    if (transfer.complete()) {
        failure = transfer.finish(entry.hash);
        if (failure != UpdateFailure::DamagedData) return failure;
    }
    // Without a delta the whole file continues what is staged.
    const auto whole = [&transfer] {
        transfer.close();
        return std::optional<UpdateFailure>();
    };
    BlockList list;
    if (!fetchBlockList(connection, entry, list)) return whole();
    transfer.listFetched(entry.blocksSize);
    UniqueFile oldFile(CreateFileW(entry.localPath.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!oldFile) return whole();
    FileBlockSource old(oldFile.get());
    std::vector<std::uint64_t> foundAt;
    if (!old.ok() || !matchBlocks(list, old, checkThreadCount(), foundAt)) return whole();
    if (transfer.staged() == 0 || transfer.complete()) failure = transfer.restart();
    if (failure != UpdateFailure::None) return failure;
    // Copies the found blocks up to `to`, those that follow each other in
    // the old copy with one read: DamagedData when the old copy cannot be read.
    const FillTo fill = [&](std::uint64_t to) {
        UpdateFailure copied = UpdateFailure::None;
        while (transfer.staged() < to && copied == UpdateFailure::None) {
            if (transfer.abandoned()) return UpdateFailure::Network;
            const std::uint64_t at = transfer.staged(), block = at / list.blockSize;
            std::uint64_t end = block + 1;
            while (end < list.count && end * list.blockSize < to &&
                   foundAt[end] == foundAt[end - 1] + list.blockSize) {
                ++end;
            }
            const std::uint64_t length = (std::min)(end * list.blockSize, to) - at;
            if (foundAt[block] == kNotFound ||
                !transfer.copy(old, foundAt[block] + at - block * list.blockSize, length, copied)) {
                return UpdateFailure::DamagedData;
            }
        }
        return copied;
    };
    const auto plan = [&] {
        return missingRuns(list, foundAt, transfer.staged(),
                           transfer.severalRanges() ? kRangesPerRequest : 1);
    };
    int failed = 0;
    while (!transfer.complete() && failure == UpdateFailure::None) {
        if (transfer.abandoned()) return UpdateFailure::Network;
        if (plan().empty()) {
            failure = fill(entry.size);
            continue;
        }
        const Attempt result = withProgressRetries(
            connection.limits(), transfer, connection.name() + url,
            [&] { return transfer.attempt(connection, url, plan(), fill); }, failed);
        if (result.kind == Attempt::Done) continue;
        // The network failed for good or the server's certificate was
        // refused: the staging file is kept for the next start.
        if (result.kind != Attempt::Fail || isCertificateRefusal(result.error)) {
            return result.failure;
        }
        failure = result.failure;
    }
    if (failure == UpdateFailure::None) {
        oldFile.reset();  // the new file takes its place
        failure = transfer.finish(entry.hash);
    }
    // An abandoned transfer keeps its staging file for the next start, and
    // a local failure ends the file. Any other (a refused range, a wrong
    // one, an old copy that cannot be read, a result that fails the digest)
    // means the delta cannot be trusted: the file comes whole, from its
    // first byte.
    if (failure == UpdateFailure::None || failure == UpdateFailure::FileInUse ||
        failure == UpdateFailure::DiskSpace || transfer.abandoned()) {
        return failure;
    }
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

UpdateFailure transferFile(const PatchConnection& connection, const std::string& name,
                           const ManifestEntry& entry, const ProgressCallback& onProgress,
                           const Abandoned& abandoned) {
    if (entry.localPath.empty()) return UpdateFailure::DamagedData;
    if (!connection.handle()) return UpdateFailure::Network;
    // With objects the file is fetched from its object: the path is where it goes.
    const std::wstring url = connection.urlOf(entry.object.empty() ? name : entry.object);
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
        // A file from its first byte comes from the compressed copy while
        // there is one to try; whatever else is missing, from the raw object.
        const std::wstring compressedUrl = url + L".gz";
        const auto fetchRest = [&] {
            // Cut after the file's last byte (in a compressed copy's trailer):
            // nothing is missing, and the digest decides.
            if (transfer.complete()) return Attempt{Attempt::Done, UpdateFailure::None};
            if (transfer.compressedLeft() && transfer.staged() == 0) {
                const Attempt inflated = transfer.inflateFrom(connection, compressedUrl);
                if (inflated.kind != Attempt::Fail ||
                    inflated.failure != UpdateFailure::DamagedData) {
                    return inflated;
                }
                transfer.compressedFailed();
                if (const UpdateFailure restarted = transfer.restart();
                    restarted != UpdateFailure::None) {
                    return Attempt{Attempt::Fail, restarted};
                }
            }
            return transfer.attempt(connection, url, {{transfer.staged(), entry.size - 1}});
        };
        for (int round = 0;; ++round) {
            failure = transfer.begin(round == 0);
            if (failure != UpdateFailure::None) break;
            if (!transfer.complete()) {
                int failed = 0;
                const Attempt result = withProgressRetries(connection.limits(), transfer,
                                                           host + url, fetchRest, failed);
                failure = result.failure;
                if (result.kind != Attempt::Done) break;
            }
            failure = transfer.finish(entry.hash);
            if (failure != UpdateFailure::DamagedData) break;
            // Inflated bytes that fail the digest are fetched once more from
            // the raw object, and so are kept ones, once.
            if (transfer.inflated() && transfer.compressedLeft()) {
                transfer.compressedFailed();
            } else if (round != 0 || !transfer.resumed()) {
                break;
            }
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
