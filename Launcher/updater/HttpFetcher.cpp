#include "updater/HttpFetcher.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Handles.h"
#include "updater/FileHasher.h"
#include "updater/Manifest.h"
#include "updater/SelfUpdate.h"
#include "updater/Updater.h"

namespace {

std::wstring widenAscii(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// The three WinHTTP handles of one GET; members are destroyed in reverse
// order, so the request closes first and the session last.
struct HttpExchange {
    UniqueInternet session;
    UniqueInternet connection;
    UniqueInternet request;
    bool announced = false;  // the response carries a Content-Length
    std::uint64_t contentLength = 0;
};

// Opens, sends and waits for the response headers. False means no answer.
bool sendGet(const std::string& host, const std::string& path, bool secure, HttpExchange& x) {
    x.session.reset(WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!x.session) return false;
    const INTERNET_PORT port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    x.connection.reset(WinHttpConnect(x.session.get(), widenAscii(host).c_str(), port, 0));
    if (!x.connection) return false;
    x.request.reset(WinHttpOpenRequest(x.connection.get(), L"GET", widenAscii(path).c_str(),
                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       secure ? WINHTTP_FLAG_SECURE : 0));
    if (!x.request) return false;
    if (!WinHttpSendRequest(x.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return false;
    }
    return WinHttpReceiveResponse(x.request.get(), nullptr) != FALSE;
}

bool statusIsOk(const HttpExchange& x) {
    DWORD status = 0;
    DWORD length = sizeof status;
    return WinHttpQueryHeaders(
               x.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
               WINHTTP_HEADER_NAME_BY_INDEX, &status, &length, WINHTTP_NO_HEADER_INDEX) &&
           status == 200;
}

// Read as text: the numeric form is 32 bits wide and would wrap above 4 GiB.
void readContentLength(HttpExchange& x) {
    wchar_t text[32] = {};
    DWORD length = sizeof text;
    if (!WinHttpQueryHeaders(x.request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                             WINHTTP_HEADER_NAME_BY_INDEX, text, &length,
                             WINHTTP_NO_HEADER_INDEX)) {
        return;
    }
    std::uint64_t value = 0;
    int digits = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9' || ++digits > 19) return;
        value = value * 10 + static_cast<std::uint64_t>(*p - L'0');
    }
    if (digits == 0) return;
    x.announced = true;
    x.contentLength = value;
}

// Next piece of the body, as much as has arrived, into `buffer`: true with an
// empty buffer at the end of the body, false when the transfer broke. The
// query comes first because, under Wine, a read alone takes a connection reset
// in a chunked body for its regular end.
bool readChunk(const HttpExchange& x, std::vector<char>& buffer) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(x.request.get(), &available)) return false;
    buffer.resize(available);
    if (available == 0) return true;
    DWORD read = 0;
    if (!WinHttpReadData(x.request.get(), buffer.data(), available, &read)) return false;
    buffer.resize(read);
    return true;
}

// Deletes the staging file on every exit but a committed one.
class StagingFile {
public:
    explicit StagingFile(std::wstring path) : path_(std::move(path)) {}
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;
    ~StagingFile() {
        if (!committed_) DeleteFileW(path_.c_str());
    }
    const std::wstring& path() const { return path_; }
    void commit() { committed_ = true; }

private:
    std::wstring path_;
    bool committed_ = false;
};

constexpr std::size_t kBlockSize = 1024 * 1024;

// Received bytes gathered for one write and one hash call: per call,
// WriteFile and CryptHashData cost far more on the small pieces WinHTTP hands
// over. Not zero-filled: only bytes read into it are used.
struct Block {
    std::unique_ptr<char[]> bytes{new char[kBlockSize]};
    std::size_t size = 0;
};

bool writeAll(HANDLE file, const Block& block) {
    DWORD written = 0;
    return block.size == 0 ||
           (WriteFile(file, block.bytes.get(), static_cast<DWORD>(block.size), &written, nullptr) &&
            written == block.size);
}

// Hashes blocks on a thread of its own, so that the digest of a download costs
// little time beyond the transfer. At most kQueuedBlocks wait, which bounds
// memory whatever the file size.
class BackgroundDigest {
public:
    BackgroundDigest() : thread_([this] { run(); }) {}
    BackgroundDigest(const BackgroundDigest&) = delete;
    BackgroundDigest& operator=(const BackgroundDigest&) = delete;
    ~BackgroundDigest() { stop(); }

    bool ok() const { return sha_.ok(); }
    // Hands the block over and leaves a fresh, empty one in its place.
    void push(Block& block) {
        Block next;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queue_.size() < kQueuedBlocks; });
        queue_.push_back(std::move(block));
        block = std::move(next);
        changed_.notify_all();
    }
    // Waits for every pushed block; 64 lowercase hex digits or "".
    std::string finish() {
        stop();
        return failed_ ? std::string() : sha_.hexDigest();
    }

private:
    static constexpr std::size_t kQueuedBlocks = 4;

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
            lock.lock();
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
    bool stopping_ = false;
    bool failed_ = false;
    // Last, so that it starts once everything it uses exists.
    std::thread thread_;
};

}  // namespace

FetchResult fetchToMemory(const std::string& host, const std::string& path, bool secure,
                          std::string& body, std::size_t maxBytes) {
    HttpExchange x;
    if (!sendGet(host, path, secure, x)) return FetchResult::NoResponse;
    // An error page would otherwise be read as the document.
    if (!statusIsOk(x)) return FetchResult::Rejected;
    readContentLength(x);
    if (x.announced && x.contentLength > maxBytes) return FetchResult::Rejected;
    const std::size_t start = body.size();
    std::vector<char> chunk;
    while (true) {
        if (!readChunk(x, chunk)) return FetchResult::Rejected;
        if (chunk.empty()) break;
        if (chunk.size() > maxBytes - (body.size() - start)) return FetchResult::Rejected;
        body.append(chunk.data(), chunk.size());
    }
    if (x.announced && body.size() - start != x.contentLength) return FetchResult::Rejected;
    return FetchResult::Complete;
}

bool Updater::fetchToFile(const std::string& serverHost, const std::string& urlPath, bool useTls,
                          const std::string& localPath, std::uint64_t expectedSize,
                          const std::string& expectedHash) const {
    std::wstring target;
    if (!decodeUtf8(localPath, target) || target.empty()) return false;

    HttpExchange x;
    if (!sendGet(serverHost, urlPath, useTls, x)) return false;
    if (!statusIsOk(x)) return false;
    readContentLength(x);
    // A body of another length than the manifest's can never verify.
    if (x.announced && x.contentLength != expectedSize) return false;

    BackgroundDigest digest;
    if (!digest.ok()) return false;
    // Beside the target, so that the final move is a rename on one volume. A
    // staging file left by a killed run is overwritten.
    StagingFile staging(target + widenForDisplay(kStagingSuffix));
    UniqueFile file(CreateFileW(staging.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

    // Pieces are read straight into the current block; a full block is
    // written, then hashed on the digest's thread.
    Block block;
    auto flushBlock = [&] {
        if (!writeAll(file.get(), block)) return false;
        digest.push(block);
        return true;
    };
    std::uint64_t received = 0;
    while (true) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(x.request.get(), &available)) return false;
        if (available == 0) break;
        if (block.size == kBlockSize && !flushBlock()) return false;
        const DWORD room = static_cast<DWORD>(kBlockSize - block.size);
        DWORD read = 0;
        if (!WinHttpReadData(x.request.get(), block.bytes.get() + block.size,
                             available < room ? available : room, &read)) {
            return false;
        }
        if (read == 0) break;
        block.size += read;
        received += read;
        // An endless or overlong body is cut off here, not at the end.
        if (received > expectedSize) return false;
        if (x.announced && x.contentLength != 0 && onProgress) {
            onProgress(static_cast<std::int32_t>(received * 100 / x.contentLength), localPath);
        }
    }
    if (received != expectedSize || !flushBlock()) return false;
    if (!sameDigest(digest.finish(), expectedHash)) return false;
    // No flush before the rename: a file cut short by a power loss fails the
    // next pass's size or digest test and is fetched again.
    file.reset();
    if (!commitStagedFile(staging.path(), target)) return false;
    staging.commit();
    return true;
}
