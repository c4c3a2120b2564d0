#include "updater/ManifestTrust.h"

#include <windows.h>

#include <bcrypt.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>

#include "LauncherConfig.h"
#include "core/Handles.h"
#include "core/SupportLog.h"
#include "updater/FileHasher.h"
#include "updater/Manifest.h"

static_assert(sizeof(LAUNCHER_MANIFEST_PUBLIC_KEY) == 1 ||
                  sizeof(LAUNCHER_MANIFEST_PUBLIC_KEY) == 129,
              "the configured public key must be 128 hex digits or empty");

namespace {

// Sixteen hex digits of SHA-256 over the key, a line feed and the deployment.
std::wstring deploymentHash(const ManifestTrust& trust) {
    Sha256 sha;
    const std::string identity = trust.publicKey + "\n" + trust.deployment;
    sha.update(identity.data(), identity.size());
    const std::string hex = sha.hexDigest();
    return std::wstring(hex.begin(), hex.begin() + (std::min)(hex.size(), std::size_t{16}));
}

// ECDSA P-256 over the SHA-256 of message; signature is r then s, 32 bytes each.
bool verifySignature(const std::string& message, const std::string& signature,
                     const std::string& publicKey) {
    if (publicKey.size() != 64 || signature.size() != 64) return false;
    Sha256 sha;
    std::string digest;
    if (!sha.update(message.data(), message.size()) || !decodeHex(sha.hexDigest(), digest) ||
        digest.size() != 32) {
        return false;
    }
    UniqueAlgorithm algorithm;
    if (BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        return false;
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::string blob(reinterpret_cast<const char*>(&header), sizeof header);
    blob += publicKey;
    UniqueBcryptKey key;
    if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                            reinterpret_cast<PUCHAR>(&blob[0]), static_cast<ULONG>(blob.size()),
                            0) != 0) {
        return false;
    }
    std::string sig = signature;  // the interface takes non-const buffers
    return BCryptVerifySignature(key.get(), nullptr, reinterpret_cast<PUCHAR>(&digest[0]), 32,
                                 reinterpret_cast<PUCHAR>(&sig[0]), 64, 0) == 0;
}

// 128 hex digits and at most one line end, as the publishing tool writes it.
bool parseSignature(std::string text, std::string& signature) {
    if (text.size() >= 1 && text.back() == '\n') text.pop_back();
    if (text.size() >= 1 && text.back() == '\r') text.pop_back();
    return text.size() == 128 && decodeHex(text, signature);
}

bool readUnsigned(const nlohmann::json& root, const char* name, std::uint64_t& value) {
    const auto found = root.find(name);
    if (found == root.end() || !found->is_number_unsigned()) return false;
    value = found->get<std::uint64_t>();
    return true;
}

bool storeVersion(const ManifestTrust& trust, std::uint32_t version) {
    UniqueKey handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, trust.versionKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, handle.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD value = version;
    return RegSetValueExW(handle.get(), versionValueName(trust).c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
}

// Launchers of two game folders of one deployment may accept manifests at
// once: the record's read, comparison and write are one step between them.
class RecordLock {
public:
    explicit RecordLock(const ManifestTrust& trust)
        : mutex_(CreateMutexW(nullptr, FALSE,
                              (L"ZovraLauncher-version-" + deploymentHash(trust)).c_str())) {
        // Abandoned by a launcher that ended holding it: ours all the same.
        const DWORD waited = mutex_ ? WaitForSingleObject(mutex_.get(), 10000) : WAIT_FAILED;
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~RecordLock() {
        if (owned_) ReleaseMutex(mutex_.get());
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    UniqueKernelHandle mutex_;
    bool owned_ = false;
};

}  // namespace

// A missing or unreadable value counts as none: it is rewritten by the next
// accepted manifest (only someone at this machine can damage it, and they
// could as well delete it).
std::uint32_t storedManifestVersion(const ManifestTrust& trust) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, trust.versionKey.c_str(), versionValueName(trust).c_str(),
                     RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return 0;
    }
    return value;
}

std::wstring versionValueName(const ManifestTrust& trust) {
    return L"ManifestVersion-" + deploymentHash(trust);
}

ManifestTrust builtInTrust() {
    ManifestTrust trust;
    decodeHex(LAUNCHER_MANIFEST_PUBLIC_KEY, trust.publicKey);
    trust.deployment = std::string(LAUNCHER_PATCH_SECURE ? "https://" : "http://") +
                       LAUNCHER_PATCH_AUTHORITY + LAUNCHER_PATCH_BASE_PATH;
    return trust;
}

bool decodeHex(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

TrustResult checkManifestTrust(const std::string& manifest, const std::string& signatureText,
                               const std::string& publicKey, std::int64_t now,
                               std::uint32_t storedVersion) {
    TrustResult result;
    std::string signature;
    // Nothing below reads a byte of the document before this holds.
    if (!parseSignature(signatureText, signature) ||
        !verifySignature(manifest, signature, publicKey)) {
        return result;
    }
    result.verdict = TrustVerdict::BadFields;
    if (jsonNestingDepth(manifest, kMaxManifestDepth) > kMaxManifestDepth) return result;
    // Only the root's own members are kept: the file list is read past, not
    // built, since readManifest builds it afterwards.
    const nlohmann::json root = nlohmann::json::parse(
        manifest,
        [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            return depth == 0 || (event != nlohmann::json::parse_event_t::object_start &&
                                  event != nlohmann::json::parse_event_t::array_start);
        },
        false);
    std::uint64_t version = 0, expires = 0;
    if (!root.is_object() || !readUnsigned(root, "version", version) ||
        !readUnsigned(root, "expires", expires) || version == 0 || version > 0xFFFFFFFFu) {
        return result;
    }
    result.version = static_cast<std::uint32_t>(version);
    result.expires = expires;
    result.verdict = TrustVerdict::Expired;
    if (now >= 0 && expires <= static_cast<std::uint64_t>(now)) return result;
    result.verdict = TrustVerdict::Rollback;
    if (version < storedVersion) return result;
    result.verdict = TrustVerdict::Trusted;
    return result;
}

TrustVerdict acceptManifest(const ManifestTrust& trust, const std::string& manifest,
                            const std::string& signatureText) {
    const RecordLock lock(trust);
    const std::uint32_t stored = storedManifestVersion(trust);
    const TrustResult result =
        checkManifestTrust(manifest, signatureText, trust.publicKey,
                           static_cast<std::int64_t>(std::time(nullptr)), stored);
    logLine("manifest signature: " +
            (result.verdict == TrustVerdict::BadSignature
                 ? std::string("does not match")
                 : "valid, version " + std::to_string(result.version) + " (highest before " +
                       std::to_string(stored) + "), expires " + utcText(result.expires)) +
            (result.verdict == TrustVerdict::Expired    ? ": expired"
             : result.verdict == TrustVerdict::Rollback ? ": older than one accepted before"
             : result.verdict == TrustVerdict::BadFields ? ": no valid version or expiry"
                                                         : ""));
    if (result.verdict != TrustVerdict::Trusted) return result.verdict;
    // Recorded before any file is touched: a pass that fails later must not
    // let an older manifest through on the next start. A record that cannot
    // be written fails the pass, which would otherwise forget the version.
    return result.version == stored || storeVersion(trust, result.version)
               ? TrustVerdict::Trusted
               : TrustVerdict::Rollback;
}
