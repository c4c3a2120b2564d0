#include "updater/HttpFetcher.h"

#include <cstdint>
#include <vector>

#include "app/Handles.h"
#include "updater/FileHasher.h"
#include "updater/Manifest.h"
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
    return WinHttpQueryHeaders(x.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &length,
                               WINHTTP_NO_HEADER_INDEX) &&
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

// Next piece of the body into `buffer`: true with an empty buffer at the end
// of the body, false when the transfer broke.
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

bool writeAll(HANDLE file, const std::vector<char>& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

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

    Sha256 sha;
    if (!sha.ok()) return false;
    // Beside the target, so that the final move is a rename on one volume. A
    // staging file left by a killed run is overwritten.
    StagingFile staging(target + widenForDisplay(kStagingSuffix));
    UniqueFile file(CreateFileW(staging.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

    std::uint64_t received = 0;
    std::vector<char> chunk;
    while (true) {
        if (!readChunk(x, chunk)) return false;
        if (chunk.empty()) break;
        received += chunk.size();
        // An endless or overlong body is cut off here, not at the end.
        if (received > expectedSize) return false;
        if (!writeAll(file.get(), chunk) || !sha.update(chunk.data(), chunk.size())) return false;
        if (x.announced && x.contentLength != 0 && onProgress) {
            onProgress(static_cast<std::int32_t>(received * 100 / x.contentLength), localPath);
        }
    }
    if (received != expectedSize) return false;
    if (!sameDigest(sha.hexDigest(), expectedHash)) return false;
    if (!FlushFileBuffers(file.get())) return false;
    file.reset();
    if (!MoveFileExW(staging.path().c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    staging.commit();
    return true;
}
