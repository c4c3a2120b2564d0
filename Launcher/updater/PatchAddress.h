// How the patch server is reached: its "host[:port]" and what a failure to
// reach it means.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

// Host name or dotted IPv4 address, then an optional ":port" (1-65535);
// without one, 443 with TLS and 80 without. Blanks around it are ignored.
bool splitAuthority(const std::string& authority, bool secure, std::wstring& host,
                    INTERNET_PORT& port);

// True for the errors of a TLS connection whose server certificate was refused
// (untrusted, for another name, expired, revoked): something answered in the
// server's place, which is not the same as no server at all.
bool isCertificateRefusal(DWORD error);

// basePath, a "/" if it lacks one, then name with every byte outside the
// characters allowed in a URL path segment percent-encoded.
std::string joinUrlPath(const std::string& basePath, const std::string& name);
