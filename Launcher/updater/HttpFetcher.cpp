#include "updater/HttpFetcher.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/Handles.h"
#include "updater/FileHasher.h"
#include "updater/Manifest.h"
#include "updater/PatchAddress.h"
#include "updater/SelfUpdate.h"
#include "updater/Updater.h"

namespace {

std::wstring widenAscii(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// How one try of a request ended.
struct Attempt {
    enum Kind {
        NoResponse,  // nothing answered: no connection, or no response headers
        Retry,       // a transport failure or a status worth another try
        Fail,        // an answer or a local failure that another try would not change
        Done,
    } kind;
    UpdateFailure failure = UpdateFailure::Network;  // when it is the last try
    std::uint32_t retryAfterMs = 0;                  // the server's wish, 0 if none
};

bool worthRetrying(DWORD status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

// Tries `attempt` up to limits.attempts times, waiting between tries.
template <typename Try>
Attempt withRetries(const TransferLimits& limits, Try&& attempt) {
    for (int tried = 1;; ++tried) {
        const Attempt result = attempt();
        if ((result.kind != Attempt::NoResponse && result.kind != Attempt::Retry) ||
            tried >= limits.attempts) {
            return result;
        }
        std::uint32_t wait = tried == 1 ? limits.firstWaitMs : limits.laterWaitMs;
        if (result.retryAfterMs != 0 && result.retryAfterMs <= limits.maxRetryAfterMs) {
            wait = result.retryAfterMs;
        }
        Sleep(wait);
    }
}

// A decimal header value; false when absent or not all digits.
bool numericHeader(HINTERNET request, DWORD query, std::uint64_t& value) {
    wchar_t text[32] = {};
    DWORD length = sizeof text;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &length,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    value = 0;
    int digits = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9' || ++digits > 19) return false;
        value = value * 10 + static_cast<std::uint64_t>(*p - L'0');
    }
    return digits > 0;
}

// One GET on the pass's connection. The body is read under the idle and
// window limits: every wait for data is bounded by whichever ends first.
class Request {
public:
    enum class Read { Data, End, Broke };

    explicit Request(const PatchConnection& via) : limits_(via.limits()) {}

    // Sends the request (asking for the bytes from `from` on when it is not
    // 0) and waits for the headers. False means no answer.
    bool send(const PatchConnection& via, const std::wstring& url, std::uint64_t from) {
        handle_.reset(WinHttpOpenRequest(via.handle(), L"GET", url.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         via.secure() ? WINHTTP_FLAG_SECURE : 0));
        // The configured server is the only one: a redirect is an answer that
        // failed, and a request that cannot be kept from following one is not sent.
        DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
        if (!handle_ || !WinHttpSetOption(handle_.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                                          &noRedirects, sizeof noRedirects)) {
            return false;
        }
        const std::wstring range =
            from ? L"Range: bytes=" + std::to_wstring(from) + L"-\r\n" : std::wstring();
        if (!WinHttpSendRequest(
                handle_.get(), range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                static_cast<DWORD>(range.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(handle_.get(), nullptr)) {
            refused_ = isCertificateRefusal(GetLastError());
            return false;
        }
        DWORD length = sizeof status_;
        WinHttpQueryHeaders(handle_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status_, &length,
                            WINHTTP_NO_HEADER_INDEX);
        // As text: the numeric form is 32 bits wide and would wrap above 4 GiB.
        announced_ = numericHeader(handle_.get(), WINHTTP_QUERY_CONTENT_LENGTH, contentLength_);
        total_ = 0;
        samples_.assign(1, {GetTickCount64(), 0});
        return true;
    }

    // How a request that got no answer ends: a TLS peer whose certificate
    // failed the checks answered in the server's place, which is no reason to
    // fall back or to try again.
    Attempt noAnswer() const {
        return refused_ ? Attempt{Attempt::Fail, UpdateFailure::Network}
                        : Attempt{Attempt::NoResponse};
    }

    DWORD status() const { return status_; }
    bool announced() const { return announced_; }
    std::uint64_t contentLength() const { return contentLength_; }

    std::wstring contentRange() const {
        wchar_t text[96] = {};
        DWORD length = sizeof text - sizeof text[0];
        return WinHttpQueryHeaders(handle_.get(), WINHTTP_QUERY_CONTENT_RANGE,
                                   WINHTTP_HEADER_NAME_BY_INDEX, text, &length,
                                   WINHTTP_NO_HEADER_INDEX)
                   ? text
                   : L"";
    }

    // How another try of a refused answer ends: a wait the server asked for
    // is honoured when it is given in seconds.
    Attempt refusal() const {
        if (!worthRetrying(status_)) return {Attempt::Fail};
        std::uint64_t seconds = 0;
        const bool asked = numericHeader(handle_.get(), WINHTTP_QUERY_RETRY_AFTER, seconds);
        return {Attempt::Retry, UpdateFailure::Network,
                asked && seconds <= 86400 ? static_cast<std::uint32_t>(seconds * 1000) : 0};
    }

    // The next piece of the body, up to `room` bytes. The query comes first
    // because, under Wine, a read alone takes a connection reset in a chunked
    // body for its regular end.
    Read read(char* into, DWORD room, DWORD& got) {
        got = 0;
        DWORD wait = limits_.idleMs;
        if (limits_.windowBytes != 0) {
            // The window that fails first is the one starting at the oldest
            // point after which fewer than windowBytes have arrived.
            while (samples_.front().second + limits_.windowBytes <= total_) samples_.pop_front();
            const ULONGLONG deadline = samples_.front().first + limits_.windowMs;
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return Read::Broke;
            wait = static_cast<DWORD>((std::min)(static_cast<ULONGLONG>(wait), deadline - now));
        }
        // 0 would mean no limit at all.
        if (wait == 0) wait = 1;
        // Only when it changes: each call costs socket calls, per piece.
        if (wait != waitSet_) {
            WinHttpSetTimeouts(handle_.get(), static_cast<int>(limits_.connectMs),
                               static_cast<int>(limits_.connectMs),
                               static_cast<int>(limits_.sendMs), static_cast<int>(wait));
            waitSet_ = wait;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(handle_.get(), &available)) return Read::Broke;
        if (available == 0) return Read::End;
        if (!WinHttpReadData(handle_.get(), into, (std::min)(available, room), &got)) {
            return Read::Broke;
        }
        if (got == 0) return Read::End;
        total_ += got;
        if (limits_.windowBytes != 0) samples_.emplace_back(GetTickCount64(), total_);
        return Read::Data;
    }

private:
    const TransferLimits& limits_;
    UniqueInternet handle_;
    DWORD status_ = 0;
    bool announced_ = false;
    bool refused_ = false;  // no answer because a TLS certificate failed the checks
    std::uint64_t contentLength_ = 0;
    std::uint64_t total_ = 0;  // body bytes read
    DWORD waitSet_ = 0;        // the receive time-out last set
    // (time, total_) after each piece, from the start of the body, as far
    // back as the window rule needs.
    std::deque<std::pair<ULONGLONG, std::uint64_t>> samples_;
};

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

// A local write that failed: a full disk, or a file that is in use,
// read-only or has a file in the way of its folder.
UpdateFailure localFailure() {
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? UpdateFailure::DiskSpace
                                                                       : UpdateFailure::FileInUse;
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
// of what the staging file holds. The staging file is deleted on every exit
// but a committed one; a killed run leaves it for the next to continue.
class FileTransfer {
public:
    FileTransfer(std::wstring target, std::uint64_t size, const ProgressCallback& onProgress,
                 const std::string& name)
        : target_(std::move(target)),
          staging_(target_ + widenForDisplay(kStagingSuffix)),
          size_(size),
          onProgress_(onProgress),
          name_(name) {}
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;
    ~FileTransfer() {
        if (committed_) return;
        file_.reset();
        DeleteFileW(staging_.c_str());
    }

    // Continues a staging file shorter than the file when `resume` allows,
    // hashing the kept bytes once; otherwise the body starts from zero.
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
            static_cast<std::uint64_t>(length.QuadPart) >= size_) {
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
        return UpdateFailure::None;
    }

    // One request for the bytes not yet staged.
    Attempt attempt(const PatchConnection& via, const std::wstring& url) {
        Request request(via);
        const std::uint64_t from = have_;
        if (!request.send(via, url, from)) return request.noAnswer();
        const DWORD status = request.status();
        const std::wstring continuation = L"bytes " + std::to_wstring(from) + L"-" +
                                          std::to_wstring(size_ - 1) + L"/" +
                                          std::to_wstring(size_);
        if (status == 206 && from != 0 && request.contentRange() == continuation) {
            resumed_ = true;
        } else if (status == 200) {
            if (const UpdateFailure failure = restart(); failure != UpdateFailure::None) {
                return {Attempt::Fail, failure};
            }
        } else {
            return request.refusal();
        }
        // A body of another length than the manifest's can never verify.
        if (request.announced() && request.contentLength() != size_ - have_) {
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
            // An endless or overlong body is cut off here, not at the end.
            if (have_ > size_) return {Attempt::Fail, UpdateFailure::DamagedData};
            if (request.announced() && onProgress_) {
                onProgress_(static_cast<std::int32_t>(have_ * 100 / size_), name_);
            }
        }
        if (have_ == size_) return {Attempt::Done};
        // Cut short: what arrived stays staged for the next try to continue.
        if (const UpdateFailure failure = flushBlock(false); failure != UpdateFailure::None) {
            return {Attempt::Fail, failure};
        }
        return {Attempt::Retry};
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
        const UpdateFailure failure = commitStagedFile(staging_, target_);
        committed_ = failure == UpdateFailure::None;
        return failure;
    }

    // True when the staged bytes came from more than one answer.
    bool resumed() const { return resumed_; }

private:
    // An answer with the whole body: the staging file starts empty.
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

    UpdateFailure flushBlock(bool last) {
        DWORD written = 0;
        if (block_.size != 0 && (!WriteFile(file_.get(), block_.bytes.get(),
                                            static_cast<DWORD>(block_.size), &written, nullptr) ||
                                 written != block_.size)) {
            return localFailure();
        }
        digest_->push(block_, last);
        return UpdateFailure::None;
    }

    const std::wstring target_;
    const std::wstring staging_;
    const std::uint64_t size_;
    const ProgressCallback& onProgress_;
    const std::string& name_;
    UniqueFile file_;
    std::unique_ptr<BackgroundDigest> digest_;
    // A byte to spare, so that a small file never fills its block (which
    // would hand it to the digest's thread) and a body longer than it shows.
    Block block_{static_cast<std::size_t>((std::min)(size_ + 1, std::uint64_t{kBlockSize}))};
    std::uint64_t have_ = 0;  // bytes staged or waiting in block_
    bool resumed_ = false;
    bool committed_ = false;
};

}  // namespace

PatchConnection::PatchConnection(bool secure, std::string host, std::uint16_t port,
                                 std::string basePath, const TransferLimits& limits)
    : secure_(secure),
      host_(std::move(host)),
      port_(port),
      basePath_(std::move(basePath)),
      limits_(limits) {
    session_.reset(WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) return;
    WinHttpSetTimeouts(session_.get(), static_cast<int>(limits_.connectMs),
                       static_cast<int>(limits_.connectMs), static_cast<int>(limits_.sendMs),
                       static_cast<int>(limits_.headersMs));
    // The receive time-out covers the headers only where this is not set.
    DWORD headersMs = limits_.headersMs;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersMs,
                     sizeof headersMs);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    connection_.reset(WinHttpConnect(session_.get(), widenAscii(host_).c_str(), port_, 0));
}

FetchResult PatchConnection::fetchToMemory(const std::string& name, std::string& body,
                                           std::size_t maxBytes) {
    const std::wstring url = widenAscii(joinUrlPath(basePath_, name));
    const std::size_t start = body.size();
    std::vector<char> piece(64 * 1024);
    const Attempt result = withRetries(limits_, [&]() -> Attempt {
        body.resize(start);
        Request request(*this);
        if (!connection_) return {Attempt::NoResponse};
        if (!request.send(*this, url, 0)) return request.noAnswer();
        // An error page would otherwise be read as the document.
        if (request.status() != 200) return request.refusal();
        if (request.announced() && request.contentLength() > maxBytes) return {Attempt::Fail};
        while (true) {
            DWORD got = 0;
            const Request::Read read =
                request.read(piece.data(), static_cast<DWORD>(piece.size()), got);
            if (read == Request::Read::Broke) return {Attempt::Retry};
            if (read == Request::Read::End) break;
            if (got > maxBytes - (body.size() - start)) return {Attempt::Fail};
            body.append(piece.data(), got);
        }
        if (request.announced() && body.size() - start != request.contentLength()) {
            return {Attempt::Retry};
        }
        return {Attempt::Done};
    });
    if (result.kind == Attempt::Done) return FetchResult::Complete;
    body.resize(start);
    return result.kind == Attempt::NoResponse ? FetchResult::NoResponse : FetchResult::Rejected;
}

UpdateFailure commitStagedFile(const std::wstring& stagingPath, const std::wstring& targetPath) {
    // The running launcher cannot be overwritten, only renamed aside.
    bool replaced = false;
    if (replaceIfRunningLauncher(stagingPath, targetPath, replaced)) {
        return replaced ? UpdateFailure::None : localFailure();
    }
    // Windows refuses to replace a read-only file; Wine would replace it.
    const DWORD attributes = GetFileAttributesW(targetPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        return UpdateFailure::FileInUse;
    }
    return MoveFileExW(stagingPath.c_str(), targetPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? UpdateFailure::None
               : localFailure();
}

UpdateFailure Updater::fetchToFile(PatchConnection& connection, const std::string& name,
                                   const std::string& localPath, std::uint64_t expectedSize,
                                   const std::string& expectedHash) const {
    std::wstring target;
    if (!decodeUtf8(localPath, target) || target.empty()) return UpdateFailure::DamagedData;
    if (!connection.handle()) return UpdateFailure::Network;
    const std::wstring url = widenAscii(joinUrlPath(connection.basePath(), name));
    FileTransfer transfer(target, expectedSize, onProgress, localPath);
    // Kept bytes from a killed run or an earlier try may belong to another
    // version of the file: when the whole fails its digest, it is fetched once
    // more from zero.
    for (const bool resume : {true, false}) {
        if (const UpdateFailure failure = transfer.begin(resume); failure != UpdateFailure::None) {
            return failure;
        }
        const Attempt result =
            withRetries(connection.limits(), [&] { return transfer.attempt(connection, url); });
        if (result.kind != Attempt::Done) return result.failure;
        const UpdateFailure failure = transfer.finish(expectedHash);
        if (failure != UpdateFailure::DamagedData || !transfer.resumed()) return failure;
    }
    return UpdateFailure::DamagedData;
}
