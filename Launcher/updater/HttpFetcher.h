// Plain blocking HTTP GET over WinHTTP.
#pragma once

#include <cstddef>
#include <string>

enum class FetchResult {
    NoResponse,  // nothing answered: no connection, or no response headers
    Rejected,    // an answer, but not a whole 200 body within the limit
    Complete,    // status 200 and the whole body
};

// Appends the body to `body`. Anything longer than maxBytes is Rejected
// without being read to its end.
FetchResult fetchToMemory(const std::string& host, const std::string& path, bool secure,
                          std::string& body, std::size_t maxBytes);
