// HTTP GETs from the patch server over one WinHTTP session and connection,
// with time limits and retries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Handles.h"

// Time limits and retries of every request to the patch server. The defaults
// are the launcher's; tests shorten them.
struct TransferLimits {
    std::uint32_t connectMs = 15000;        // name resolution, and then the connection
    std::uint32_t sendMs = 30000;           // sending the request
    std::uint32_t headersMs = 30000;        // waiting for the response headers
    std::uint32_t idleMs = 30000;           // a body that delivers nothing this long fails
    std::uint32_t windowMs = 60000;         // a body that delivers less than windowBytes
    std::uint32_t windowBytes = 4096;       // in any windowMs fails (0: no such rule)
    int attempts = 3;                       // tries of one request in all
    std::uint32_t firstWaitMs = 1000;       // before the second try
    std::uint32_t laterWaitMs = 3000;       // before each later one
    std::uint32_t maxRetryAfterMs = 10000;  // a longer Retry-After is not waited for
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
    PatchConnection(bool secure, std::string host, std::uint16_t port, std::string basePath,
                    const TransferLimits& limits);
    PatchConnection(const PatchConnection&) = delete;
    PatchConnection& operator=(const PatchConnection&) = delete;

    // GET of basePath and the percent-encoded name; the whole 200 body is
    // appended to `body`. Anything longer than maxBytes is Rejected without
    // being read to its end. Transport failures are tried again.
    FetchResult fetchToMemory(const std::string& name, std::string& body, std::size_t maxBytes);

    bool secure() const { return secure_; }
    const std::string& basePath() const { return basePath_; }
    const TransferLimits& limits() const { return limits_; }
    HINTERNET handle() const { return connection_.get(); }

private:
    const bool secure_;
    const std::string host_;
    const std::uint16_t port_;
    const std::string basePath_;
    const TransferLimits limits_;
    UniqueInternet session_;
    UniqueInternet connection_;
};
