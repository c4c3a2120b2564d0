#include "updater/PatchAddress.h"

bool splitAuthority(const std::string& address, bool secure, std::wstring& host,
                    INTERNET_PORT& port) {
    // Blanks an operator left around it ("a; b") are no part of it.
    const std::size_t from = address.find_first_not_of(" \t");
    const std::string authority =
        from == std::string::npos
            ? ""
            : address.substr(from, address.find_last_not_of(" \t") + 1 - from);
    const std::size_t colon = authority.find(':');
    const std::string name = authority.substr(0, colon);
    port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    if (colon != std::string::npos) {
        const std::string digits = authority.substr(colon + 1);
        unsigned long value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return false;
        }
        if (digits.empty() || value == 0) return false;
        port = static_cast<INTERNET_PORT>(value);
    }
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!allowed) return false;
    }
    host.assign(name.begin(), name.end());
    return !host.empty();
}

bool isCertificateRefusal(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return true;
    default:
        return false;
    }
}

std::string joinUrlPath(const std::string& basePath, const std::string& name) {
    std::string url = basePath;
    if (url.empty() || url.back() != '/') url.push_back('/');
    static const char hex[] = "0123456789ABCDEF";
    static const std::string allowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/";
    for (char c : name) {
        if (allowed.find(c) != std::string::npos) {
            url.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            url.push_back('%');
            url.push_back(hex[byte >> 4]);
            url.push_back(hex[byte & 0x0F]);
        }
    }
    return url;
}
