// SHA-256 digests through CryptoAPI, of a whole file or fed piece by piece.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/Handles.h"

// One running SHA-256 computation. `ok()` is false when CryptoAPI could not
// provide it; `update` and `hexDigest` then fail too.
class Sha256 {
public:
    Sha256();
    bool ok() const { return static_cast<bool>(hash_); }
    bool update(const void* data, std::size_t length);
    // 64 lowercase hex digits, or "" on failure. Ends the computation.
    std::string hexDigest();

private:
    UniqueCryptHash hash_;
};

// The file's SHA-256 as 64 lowercase hex digits; "" when the file cannot be
// opened or read (missing, a folder, locked) or CryptoAPI fails.
std::string hashFile(const std::wstring& path);
// The same digest read through `block`, a buffer the caller keeps (one per
// thread), so that a run of files costs no allocation per file. Safe to call
// on several threads at once: each call has its own hash object.
std::string hashFile(const std::wstring& path, std::vector<unsigned char>& block);
