// HTTP GETs from the patch server over one WinHTTP session and connection,
// with time limits and retries. It knows nothing of files: a body is read
// into memory, or handed out piece by piece to whoever reads the request.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Handles.h"
#include "updater/UpdateTypes.h"

// Time limits and retries of every request to the patch server. The defaults
// are the launcher's; tests shorten them.
struct TransferLimits {
    std::uint32_t connectMs = 15000;        // name resolution, and then the connection
    std::uint32_t sendMs = 30000;           // sending the request
    std::uint32_t headersMs = 30000;        // waiting for the response headers
    std::uint32_t idleMs = 30000;           // a body that delivers nothing this long fails
    std::uint32_t windowMs = 60000;         // a body that delivers less than windowBytes
    std::uint32_t windowBytes = 4096;       // in any windowMs fails (0: no such rule)
    int attempts = 3;                       // tries of one request in all; of a file's
                                            // download, tries in a row without progress
    std::uint64_t progressBytes = 64 * 1024;  // a try that staged this much made progress
    int maxTries = 20;                        // tries of one file's download in all
    std::uint32_t firstWaitMs = 1000;       // before the second try
    std::uint32_t laterWaitMs = 3000;       // before each later one
    std::uint32_t maxRetryAfterMs = 10000;  // a longer Retry-After is not waited for
    std::uint32_t republishWaitMs = 2000;   // before the manifest and signature are
                                            // fetched again when they did not match
    int connections = 6;                    // files fetched at once, a connection each
};

enum class FetchResult {
    NoResponse,  // the last try got no answer at all: no connection, or no headers
    Rejected,    // an answer, but not a whole 200 body within the limit
    Complete,    // status 200 and the whole body
};

// One WinHTTP session with one connection handle to the patch server for a
// whole pass, so that requests reuse kept-alive connections. Automatic
// redirects are off: a 3xx is an answer like any other refusal.
class PatchConnection {
public:
    PatchConnection(bool secure, std::wstring host, std::uint16_t port, std::string basePath,
                    const TransferLimits& limits);
    PatchConnection(const PatchConnection&) = delete;
    PatchConnection& operator=(const PatchConnection&) = delete;

    // GET of basePath and the percent-encoded name; the whole 200 body is
    // appended to `body`, and its Content-Type put in `contentType` when
    // asked for. Anything longer than maxBytes is Rejected without being read
    // to its end. Transport failures are tried again. On failure `why` (when
    // given) says why the last try failed, for the log.
    FetchResult fetchToMemory(const std::string& name, std::string& body, std::size_t maxBytes,
                              std::wstring* contentType = nullptr,
                              std::string* why = nullptr) const {
        return fetch(name, body, maxBytes, contentType, why, false);
    }
    // fetchToMemory for a document whose bytes change under one name (the
    // manifest, its signature): every cache on the way checks its copy with
    // the server.
    FetchResult fetchRevalidated(const std::string& name, std::string& body, std::size_t maxBytes,
                                 std::wstring* contentType = nullptr,
                                 std::string* why = nullptr) const {
        return fetch(name, body, maxBytes, contentType, why, true);
    }

    // The request path of `name`: basePath and the percent-encoded name.
    std::wstring urlOf(const std::string& name) const;

    bool secure() const { return secure_; }
    const TransferLimits& limits() const { return limits_; }
    HINTERNET handle() const { return connection_.get(); }
    HINTERNET session() const { return session_.get(); }

    // Where a system without automatic proxy resolution needs it: the proxy
    // the user's Internet Options pick for the patch server (auto-detection
    // or a configuration script), set on `request`. Worked out once.
    void useProxyFor(HINTERNET request, const std::wstring& url) const;

    // The server asked for a pause (a Retry-After of at most maxRetryAfterMs
    // with a 429 or 503): no request goes out before it has passed.
    void pauseFor(std::uint32_t ms) const;
    void waitForPause() const;

    // Which server this is, for what the pass reports: "host[:port]".
    std::wstring name() const;

private:
    void openSession();
    FetchResult fetch(const std::string& name, std::string& body, std::size_t maxBytes,
                      std::wstring* contentType, std::string* why, bool revalidate) const;

    const bool secure_;
    const std::wstring host_;
    const std::uint16_t port_;
    const std::string basePath_;
    const TransferLimits limits_;
    UniqueInternet session_;
    UniqueInternet connection_;
    // Internet Options asked for a proxy per address (older systems only).
    bool proxyPerUrl_ = false;
    bool autoDetect_ = false;
    std::wstring autoConfigUrl_;
    // Requests go out from several threads at once.
    mutable std::mutex proxyMutex_;
    mutable bool proxyLooked_ = false;
    mutable std::wstring proxy_, proxyBypass_;  // empty: straight to the server
    mutable std::atomic<ULONGLONG> pausedUntil_{0};
};

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
    DWORD status = 0;                                // the answer's HTTP status, if one
    DWORD error = 0;                                 // WinHTTP's error, if one
};

// Why a try failed, for the log: the HTTP status, or WinHTTP's error by
// number and name (saying so when a certificate was refused), or a body cut
// short.
std::string describeAttempt(const Attempt& attempt);

// Waits between tries of what `where` names (host and path, for the log):
// the first wait, then the later ones, or what the server asked for when that
// is not too long. The log says why.
void waitBeforeTry(const TransferLimits& limits, int tried, const Attempt& last,
                   const std::wstring& where);

// Tries `attempt` up to limits.attempts times, waiting between tries.
template <typename Try>
Attempt withRetries(const TransferLimits& limits, const std::wstring& where, Try&& attempt) {
    for (int tried = 1;; ++tried) {
        const Attempt result = attempt();
        if ((result.kind != Attempt::NoResponse && result.kind != Attempt::Retry) ||
            tried >= limits.attempts) {
            return result;
        }
        waitBeforeTry(limits, tried, result, where);
    }
}

// Ranges of a file, by first and last byte.
using ByteRanges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// One GET on the pass's connection. The body is read under the idle and
// window limits: every wait for data is bounded by whichever ends first.
class Request {
public:
    enum class Read { Data, End, Broke };

    explicit Request(const PatchConnection& via, bool revalidate = false)
        : via_(via), limits_(via.limits()), revalidate_(revalidate) {}

    static constexpr std::uint64_t kToTheEnd = ~std::uint64_t{0};

    // Sends the request and waits for the headers; asks for the bytes from
    // `from` to `last` (both included) unless that is the whole body. False
    // means no answer.
    bool send(const std::wstring& url, std::uint64_t from, std::uint64_t last = kToTheEnd);
    // The same for several ranges (first and last byte, ascending; a last of
    // kToTheEnd leaves the range open); none asks for the whole body.
    bool send(const std::wstring& url, const ByteRanges& ranges);

    // How a request that got no answer ends: a TLS peer whose certificate
    // failed the checks answered in the server's place, which is no reason to
    // fall back or to try again.
    Attempt noAnswer() const;

    DWORD status() const { return status_; }
    // WinHTTP's error that ended the last send or read, 0 if none.
    DWORD lastError() const { return error_; }
    bool announced() const { return announced_; }
    std::uint64_t contentLength() const { return contentLength_; }
    std::wstring contentRange() const { return textHeader(WINHTTP_QUERY_CONTENT_RANGE); }
    std::wstring contentType() const { return textHeader(WINHTTP_QUERY_CONTENT_TYPE); }

    // How another try of a refused answer ends: a wait the server asked for
    // is honoured when it is given in seconds.
    Attempt refusal() const;

    // The next piece of the body, up to `room` bytes.
    Read read(char* into, DWORD room, DWORD& got);
    // The window limit counts from now on: the time since was the reader's
    // own, not the server's.
    void clockFromNow() { samples_.assign(1, {GetTickCount64(), total_}); }

private:
    // A short header's text; empty when absent or too long.
    std::wstring textHeader(DWORD query) const;

    const PatchConnection& via_;
    const TransferLimits& limits_;
    const bool revalidate_;  // Cache-Control: no-cache
    UniqueInternet handle_;
    DWORD status_ = 0;
    bool announced_ = false;
    bool refused_ = false;  // no answer because a TLS certificate failed the checks
    DWORD error_ = 0;
    std::uint64_t contentLength_ = 0;
    std::uint64_t total_ = 0;  // body bytes read
    DWORD waitSet_ = 0;        // the receive time-out last set
    // (time, total_) after each piece, from the start of the body, as far
    // back as the window rule needs.
    std::deque<std::pair<ULONGLONG, std::uint64_t>> samples_;
};
