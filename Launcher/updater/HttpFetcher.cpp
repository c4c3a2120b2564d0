#include "updater/HttpFetcher.h"

#include <algorithm>
#include <vector>

#include "core/SupportLog.h"
#include "updater/PatchAddress.h"

namespace {

bool worthRetrying(DWORD status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
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

}  // namespace

std::string describeAttempt(const Attempt& attempt) {
    if (attempt.status != 0 && attempt.status != 200 && attempt.status != 206) {
        return "HTTP status " + std::to_string(attempt.status);
    }
    if (attempt.error == 0)
        return attempt.kind == Attempt::NoResponse ? "no answer" : "the answer was cut short";
    static const struct {
        DWORD code;
        const char* name;
    } names[] = {
        {ERROR_WINHTTP_TIMEOUT, "ERROR_WINHTTP_TIMEOUT"},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, "ERROR_WINHTTP_NAME_NOT_RESOLVED"},
        {ERROR_WINHTTP_CANNOT_CONNECT, "ERROR_WINHTTP_CANNOT_CONNECT"},
        {ERROR_WINHTTP_CONNECTION_ERROR, "ERROR_WINHTTP_CONNECTION_ERROR"},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "ERROR_WINHTTP_INVALID_SERVER_RESPONSE"},
        {ERROR_WINHTTP_SECURE_FAILURE, "ERROR_WINHTTP_SECURE_FAILURE"},
        {ERROR_WINHTTP_OPERATION_CANCELLED, "ERROR_WINHTTP_OPERATION_CANCELLED"},
        {ERROR_WINHTTP_RESEND_REQUEST, "ERROR_WINHTTP_RESEND_REQUEST"},
        {ERROR_WINHTTP_SECURE_INVALID_CA, "ERROR_WINHTTP_SECURE_INVALID_CA"},
        {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "ERROR_WINHTTP_SECURE_CERT_CN_INVALID"},
        {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "ERROR_WINHTTP_SECURE_CERT_DATE_INVALID"},
    };
    std::string text = "WinHTTP error " + std::to_string(attempt.error);
    for (const auto& known : names) {
        if (known.code == attempt.error) text += std::string(" ") + known.name;
    }
    // An incomplete chain (a server without its intermediate certificate)
    // ends in one of these too: the operator needs the word.
    return isCertificateRefusal(attempt.error) ? text + ", the server's certificate was refused"
                                               : text;
}

void waitBeforeTry(const TransferLimits& limits, int tried, const Attempt& last,
                   const std::wstring& where) {
    std::uint32_t wait = tried == 1 ? limits.firstWaitMs : limits.laterWaitMs;
    if (last.retryAfterMs != 0 && last.retryAfterMs <= limits.maxRetryAfterMs) {
        wait = last.retryAfterMs;
    }
    logLine("retry " + asciiText(where) + " in " + std::to_string(wait) +
            " ms: " + describeAttempt(last));
    Sleep(wait);
}

bool Request::send(const std::wstring& url, std::uint64_t from, std::uint64_t last) {
    return send(url, from != 0 || last != kToTheEnd ? ByteRanges{{from, last}} : ByteRanges{});
}

bool Request::send(const std::wstring& url, const ByteRanges& ranges) {
    if (!via_.handle()) return false;
    via_.waitForPause();
    handle_.reset(WinHttpOpenRequest(via_.handle(), L"GET", url.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     via_.secure() ? WINHTTP_FLAG_SECURE : 0));
    // The configured server is the only one: a redirect is an answer that
    // failed, and a request that cannot be kept from following one is not sent.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    if (!handle_ || !WinHttpSetOption(handle_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects,
                                      sizeof noRedirects)) {
        return false;
    }
    via_.useProxyFor(handle_.get(), url);
    std::wstring range;
    for (const auto& [from, last] : ranges) {
        range += (range.empty() ? L"Range: bytes=" : L",") + std::to_wstring(from) + L"-" +
                 (last != kToTheEnd ? std::to_wstring(last) : std::wstring());
    }
    if (!range.empty()) range += L"\r\n";
    // No Accept-Encoding, ever: compressed objects are files of their own,
    // and what a server compresses on the fly would fail the digests.
    const std::wstring headers = range + (revalidate_ ? L"Cache-Control: no-cache\r\n" : L"");
    if (!WinHttpSendRequest(handle_.get(),
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(handle_.get(), nullptr)) {
        error_ = GetLastError();
        refused_ = isCertificateRefusal(error_);
        return false;
    }
    DWORD length = sizeof status_;
    WinHttpQueryHeaders(handle_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status_, &length, WINHTTP_NO_HEADER_INDEX);
    // As text: the numeric form is 32 bits wide and would wrap above 4 GiB.
    announced_ = numericHeader(handle_.get(), WINHTTP_QUERY_CONTENT_LENGTH, contentLength_);
    total_ = 0;
    samples_.assign(1, {GetTickCount64(), 0});
    return true;
}

Attempt Request::noAnswer() const {
    return {refused_ ? Attempt::Fail : Attempt::NoResponse, UpdateFailure::Network, 0, 0, error_};
}

std::wstring Request::textHeader(DWORD query) const {
    wchar_t text[128] = {};
    DWORD length = sizeof text - sizeof text[0];
    return WinHttpQueryHeaders(handle_.get(), query, WINHTTP_HEADER_NAME_BY_INDEX, text, &length,
                               WINHTTP_NO_HEADER_INDEX)
               ? text
               : L"";
}

Attempt Request::refusal() const {
    if (!worthRetrying(status_)) return {Attempt::Fail, UpdateFailure::Network, 0, status_};
    std::uint64_t seconds = 0;
    const bool asked = numericHeader(handle_.get(), WINHTTP_QUERY_RETRY_AFTER, seconds);
    const std::uint32_t ms = asked && seconds <= 86400 ? static_cast<std::uint32_t>(seconds * 1000) : 0;
    // A server that is busy is asked nothing more by any transfer meanwhile.
    if (ms != 0 && ms <= limits_.maxRetryAfterMs && (status_ == 429 || status_ == 503)) {
        via_.pauseFor(ms);
    }
    return {Attempt::Retry, UpdateFailure::Network, ms, status_};
}

// The query comes first because, under Wine, a read alone takes a connection
// reset in a chunked body for its regular end.
Request::Read Request::read(char* into, DWORD room, DWORD& got) {
    got = 0;
    DWORD wait = limits_.idleMs;
    if (limits_.windowBytes != 0) {
        // The window that fails first is the one starting at the oldest
        // point after which fewer than windowBytes have arrived.
        while (samples_.front().second + limits_.windowBytes <= total_) samples_.pop_front();
        const ULONGLONG deadline = samples_.front().first + limits_.windowMs;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            error_ = ERROR_WINHTTP_TIMEOUT;
            return Read::Broke;
        }
        wait = static_cast<DWORD>((std::min)(static_cast<ULONGLONG>(wait), deadline - now));
    }
    // 0 would mean no limit at all.
    if (wait == 0) wait = 1;
    // Only when it changes: each call costs socket calls, per piece.
    if (wait != waitSet_) {
        WinHttpSetTimeouts(handle_.get(), static_cast<int>(limits_.connectMs),
                           static_cast<int>(limits_.connectMs), static_cast<int>(limits_.sendMs),
                           static_cast<int>(wait));
        waitSet_ = wait;
    }
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(handle_.get(), &available)) {
        error_ = GetLastError();
        return Read::Broke;
    }
    if (available == 0) return Read::End;
    if (!WinHttpReadData(handle_.get(), into, (std::min)(available, room), &got)) {
        error_ = GetLastError();
        return Read::Broke;
    }
    if (got == 0) return Read::End;
    total_ += got;
    if (limits_.windowBytes != 0) samples_.emplace_back(GetTickCount64(), total_);
    return Read::Data;
}

namespace {

// A string WinHTTP handed out, copied and freed.
std::wstring takeGlobalText(LPWSTR text) {
    if (!text) return {};
    std::wstring copy(text);
    GlobalFree(text);
    return copy;
}

}  // namespace

// Players behind a school's or company's proxy reach the patch server through
// it. Windows 8.1 and later resolve it for the session (Internet Options,
// auto-detection, configuration scripts); older systems refuse that access
// type, and the user's Internet Options are read here instead.
void PatchConnection::openSession() {
    session_.reset(WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session_) return;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG options{};
    if (WinHttpGetIEProxyConfigForCurrentUser(&options)) {
        autoDetect_ = options.fAutoDetect != FALSE;
        autoConfigUrl_ = takeGlobalText(options.lpszAutoConfigUrl);
        proxy_ = takeGlobalText(options.lpszProxy);
        proxyBypass_ = takeGlobalText(options.lpszProxyBypass);
    }
    proxyPerUrl_ = autoDetect_ || !autoConfigUrl_.empty();
    if (!proxy_.empty() && !proxyPerUrl_) {
        session_.reset(WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                   proxy_.c_str(),
                                   proxyBypass_.empty() ? WINHTTP_NO_PROXY_BYPASS
                                                        : proxyBypass_.c_str(),
                                   0));
    }
    if (!session_) {
        session_.reset(WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    }
}

void PatchConnection::pauseFor(std::uint32_t ms) const {
    const ULONGLONG until = GetTickCount64() + ms;
    ULONGLONG now = pausedUntil_.load();
    while (now < until && !pausedUntil_.compare_exchange_weak(now, until)) {
    }
}

void PatchConnection::waitForPause() const {
    for (ULONGLONG now = GetTickCount64(), until = pausedUntil_.load(); now < until;
         now = GetTickCount64(), until = pausedUntil_.load()) {
        Sleep(static_cast<DWORD>(until - now));
    }
}

std::wstring PatchConnection::name() const {
    const bool usual = port_ == (secure_ ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    return usual ? host_ : host_ + L":" + std::to_wstring(port_);
}

void PatchConnection::useProxyFor(HINTERNET request, const std::wstring& url) const {
    if (!proxyPerUrl_) return;
    const std::lock_guard<std::mutex> lock(proxyMutex_);
    if (!proxyLooked_) {
        proxyLooked_ = true;
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (autoDetect_) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (!autoConfigUrl_.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = autoConfigUrl_.c_str();
        }
        options.fAutoLogonIfChallenged = TRUE;
        const std::wstring address = std::wstring(secure_ ? L"https://" : L"http://") + host_ +
                                     L":" + std::to_wstring(port_) + url;
        WINHTTP_PROXY_INFO found{};
        const bool resolved =
            WinHttpGetProxyForUrl(session_.get(), address.c_str(), &options, &found) != FALSE;
        const std::wstring resolvedProxy = takeGlobalText(found.lpszProxy);
        const std::wstring resolvedBypass = takeGlobalText(found.lpszProxyBypass);
        // Nothing found: the fixed proxy of the same settings, if any.
        if (resolved) {
            proxy_ = found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? resolvedProxy : L"";
            proxyBypass_ = resolvedBypass;
        }
    }
    if (proxy_.empty()) return;
    WINHTTP_PROXY_INFO info{};
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = &proxy_[0];
    info.lpszProxyBypass = proxyBypass_.empty() ? nullptr : &proxyBypass_[0];
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
}

PatchConnection::PatchConnection(bool secure, std::wstring host, std::uint16_t port,
                                 std::string basePath, const TransferLimits& limits)
    : secure_(secure),
      host_(std::move(host)),
      port_(port),
      basePath_(std::move(basePath)),
      limits_(limits) {
    openSession();
    if (!session_) return;
    // Before Windows 11 WinHTTP may offer only TLS 1.0 unless told; some
    // systems refuse 1.3 in the list, and then 1.2 alone is asked for. A
    // system that takes neither keeps its own choice.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                          sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                         sizeof protocols);
    }
    WinHttpSetTimeouts(session_.get(), static_cast<int>(limits_.connectMs),
                       static_cast<int>(limits_.connectMs), static_cast<int>(limits_.sendMs),
                       static_cast<int>(limits_.headersMs));
    // The receive time-out covers the headers only where this is not set.
    DWORD headersMs = limits_.headersMs;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersMs,
                     sizeof headersMs);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    // The files fetched at once share the session's kept-alive connections,
    // no more of them than that; where the system offers HTTP/2 (Windows 10
    // 1607 on), one connection carries them all.
    DWORD connections = static_cast<DWORD>((std::max)(1, limits_.connections));
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections,
                     sizeof connections);
    DWORD http2 = WINHTTP_PROTOCOL_FLAG_HTTP2;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &http2, sizeof http2);
    connection_.reset(WinHttpConnect(session_.get(), host_.c_str(), port_, 0));
}

FetchResult PatchConnection::fetch(const std::string& name, std::string& body, std::size_t maxBytes,
                                   std::wstring* contentType, std::string* why,
                                   bool revalidate) const {
    const std::wstring url = urlOf(name);
    const std::size_t start = body.size();
    std::vector<char> piece(64 * 1024);
    bool tooLong = false;
    const Attempt result = withRetries(limits_, this->name() + url, [&]() -> Attempt {
        body.resize(start);
        Request request(*this, revalidate);
        if (!request.send(url, 0)) return request.noAnswer();
        // An error page would otherwise be read as the document.
        if (request.status() != 200) return request.refusal();
        tooLong = request.announced() && request.contentLength() > maxBytes;
        if (tooLong) return {Attempt::Fail};
        while (true) {
            DWORD got = 0;
            const Request::Read read =
                request.read(piece.data(), static_cast<DWORD>(piece.size()), got);
            if (read == Request::Read::Broke) {
                return {Attempt::Retry, UpdateFailure::Network, 0, 0, request.lastError()};
            }
            if (read == Request::Read::End) break;
            tooLong = got > maxBytes - (body.size() - start);
            if (tooLong) return {Attempt::Fail};
            body.append(piece.data(), got);
        }
        if (request.announced() && body.size() - start != request.contentLength()) {
            return {Attempt::Retry};
        }
        if (contentType) *contentType = request.contentType();
        return {Attempt::Done};
    });
    if (result.kind == Attempt::Done) return FetchResult::Complete;
    if (why) {
        *why = tooLong ? "longer than " + std::to_string(maxBytes) + " bytes"
                       : describeAttempt(result);
    }
    body.resize(start);
    return result.kind == Attempt::NoResponse ? FetchResult::NoResponse : FetchResult::Rejected;
}

std::wstring PatchConnection::urlOf(const std::string& name) const {
    // Every byte outside the URL's own characters is percent-encoded: ASCII.
    const std::string url = joinUrlPath(basePath_, name);
    return std::wstring(url.begin(), url.end());
}
