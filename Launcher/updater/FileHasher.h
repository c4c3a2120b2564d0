// SHA-256 digests through CryptoAPI, of a whole file or fed piece by piece.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/Handles.h"

// One running digest computation of a CryptoAPI algorithm. `ok()` is false
// when CryptoAPI could not provide it; `update` and the results then fail too.
class Digest {
public:
    explicit Digest(ALG_ID algorithm);
    bool ok() const { return static_cast<bool>(hash_); }
    bool update(const void* data, std::size_t length);
    // The digest's bytes, or "" on failure. Ends the computation.
    std::string bytes();
    // The same as lowercase hex digits.
    std::string hexDigest();

private:
    UniqueCryptHash hash_;
};

// `size` bytes as lowercase hex digits, two a byte.
std::string lowerHex(const void* bytes, std::size_t size);

struct Sha256 : Digest {
    Sha256() : Digest(CALG_SHA_256) {}
};

// For the blocks of a delta, where the file's SHA-256 decides: several times
// faster than SHA-256 here.
struct Md5 : Digest {
    Md5() : Digest(CALG_MD5) {}
};

// The file's SHA-256 as 64 lowercase hex digits; "" when the file cannot be
// opened or read (missing, a folder, locked) or CryptoAPI fails.
std::string hashFile(const std::wstring& path);
// The same digest read through `block`, a buffer the caller keeps (one per
// thread), so that a run of files costs no allocation per file. Safe to call
// on several threads at once: each call has its own hash object.
std::string hashFile(const std::wstring& path, std::vector<unsigned char>& block);
