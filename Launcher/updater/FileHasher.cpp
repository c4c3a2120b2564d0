#include "updater/FileHasher.h"

namespace {

// Large enough that the per-call cost of ReadFile (high under Wine) stays far
// below the cost of hashing; memory use stays fixed whatever the file size.
constexpr DWORD kReadBlock = 256 * 1024;

}  // namespace

namespace {

// Acquiring a provider is slow under Wine (registry look-ups on every call);
// one verify-only context serves every digest of the process, from any thread.
HCRYPTPROV sharedProvider() {
    static const UniqueCryptContext provider = [] {
        UniqueCryptContext acquired;
        CryptAcquireContextW(acquired.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
        return acquired;
    }();
    return provider.get();
}

}  // namespace

Digest::Digest(ALG_ID algorithm) {
    if (HCRYPTPROV provider = sharedProvider()) {
        CryptCreateHash(provider, algorithm, 0, 0, hash_.put());
    }
}

bool Digest::update(const void* data, std::size_t length) {
    if (!hash_) return false;
    const auto* bytes = static_cast<const BYTE*>(data);
    // CryptHashData takes a DWORD length; feed anything larger in pieces.
    while (length > 0) {
        const DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        if (!CryptHashData(hash_.get(), bytes, piece, 0)) return false;
        bytes += piece;
        length -= piece;
    }
    return true;
}

std::string Digest::bytes() {
    if (!hash_) return {};
    BYTE digest[64] = {};
    DWORD length = sizeof digest;
    const bool got = CryptGetHashParam(hash_.get(), HP_HASHVAL, digest, &length, 0) != FALSE;
    hash_.reset();
    return got ? std::string(reinterpret_cast<const char*>(digest), length) : std::string();
}

std::string lowerHex(const void* bytes, std::size_t size) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<const unsigned char*>(bytes)[i];
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 0x0F]);
    }
    return text;
}

std::string Digest::hexDigest() {
    const std::string digest = bytes();
    return lowerHex(digest.data(), digest.size());
}

std::string hashFile(const std::wstring& path) {
    std::vector<unsigned char> block;
    return hashFile(path, block);
}

std::string hashFile(const std::wstring& path, std::vector<unsigned char>& block) {
    Sha256 sha;
    if (!sha.ok()) return {};
    // Others may keep reading and writing; a folder fails to open here.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return {};
    // Grown once per caller, not per file.
    if (block.size() < kReadBlock) block.resize(kReadBlock);
    while (true) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block.data(), kReadBlock, &read, nullptr)) return {};
        if (read == 0) break;
        if (!sha.update(block.data(), read)) return {};
    }
    return sha.hexDigest();
}
