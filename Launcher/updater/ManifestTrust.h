// Signed manifests: the operator's signature over the exact bytes received,
// then the version and expiry that the signed document states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Fetched beside manifest.json by a signed build; never longer than this.
inline constexpr char kSignatureName[] = "manifest.json.sig";
constexpr std::size_t kMaxSignatureBytes = 1024;

// The launcher's own key under HKCU (the game's key is never written here).
inline constexpr wchar_t kLauncherRegistryKey[] = L"SOFTWARE\\Haldor\\Tarsk\\Launcher";

struct ManifestTrust {
    // The operator's P-256 public key, X then Y (64 bytes). Empty only in a
    // build configured without a key: manifests are then taken unsigned.
    std::string publicKey;
    // HKCU subkey that holds the highest version accepted, one value for
    // each deployment (versionValueName).
    std::wstring versionKey = kLauncherRegistryKey;
    // The deployment: the primary patch server's URL. With the key it names
    // the version record, so that a live and a test server, or two games
    // built from this code, never lock each other out.
    std::string deployment;
};

// The key and patch server this launcher was built with.
ManifestTrust builtInTrust();

// "ManifestVersion-" and 16 hex digits of a hash of the key and deployment.
std::wstring versionValueName(const ManifestTrust& trust);

enum class TrustVerdict { Trusted, BadSignature, BadFields, Expired, Rollback };

struct TrustResult {
    TrustVerdict verdict = TrustVerdict::BadSignature;
    std::uint32_t version = 0;  // the manifest's, once its fields were read
    std::uint64_t expires = 0;  // its expiry, Unix seconds, likewise
};

// The signature (128 hex digits, r then s, and an optional line end) must
// verify over `manifest` with `publicKey` before anything reads the document;
// then its root needs "version" (1 to 2^32-1, not below storedVersion) and
// "expires" (Unix seconds, after now).
TrustResult checkManifestTrust(const std::string& manifest, const std::string& signatureText,
                               const std::string& publicKey, std::int64_t now,
                               std::uint32_t storedVersion);

// The highest version this deployment has accepted so far; 0 for none.
std::uint32_t storedManifestVersion(const ManifestTrust& trust);

// checkManifestTrust against the clock and the stored version, which rises to
// the manifest's; the record is read, compared and written under a lock
// that every launcher of this user shares.
TrustVerdict acceptManifest(const ManifestTrust& trust, const std::string& manifest,
                            const std::string& signatureText);

// Hex text (either case) to bytes; false on an odd length or a non-hex digit.
bool decodeHex(const std::string& text, std::string& bytes);
