// The manifest format and the checks made on it before any file is touched.
// Pure functions: no file system, no network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A manifest body larger than this fails the pass; it is never read whole.
constexpr std::size_t kMaxManifestBytes = 64u * 1024u * 1024u;

// Deeper than this the document cannot be a manifest (which needs three levels).
constexpr int kMaxManifestDepth = 64;

// A fetched file is written here first, beside its target, and renamed over it
// only once verified.
inline constexpr char kStagingSuffix[] = ".launcher-part";

// The running launcher's file is renamed to this, beside itself, to make room
// for its new version (see SelfUpdate.h).
inline constexpr char kOldLauncherSuffix[] = ".launcher-old";

// The pass's records of the files it verified, in the game folder (see
// VerificationRecords.h); never a game file.
inline constexpr char kRecordsName[] = "Launcher.verified";

struct ManifestEntry {
    ManifestEntry() = default;
    // Decodes the path, once: localPath stays empty when it is not UTF-8.
    ManifestEntry(std::string written, std::string digest, std::uint64_t bytes);

    std::string path;        // UTF-8, "/"-separated, relative to the game folder
    std::string hash;        // 64 hex digits, as written in the manifest
    std::uint64_t size = 0;
    std::wstring localPath;  // the path in UTF-16, for the file system
    // The file's block list for delta updates, when the manifest names one:
    // its size and SHA-256 (empty: none).
    std::uint64_t blocksSize = 0;
    std::string blocksHash;
    // With an objects folder in the manifest: the path of the file's object
    // under the manifest's folder (empty: the file is fetched at its path),
    // and the size of its gzip copy, "<object>.gz" (0: none).
    std::string object;
    std::uint64_t gzipSize = 0;
};

// Parses and checks the whole manifest. Returns false, with no exception, for
// anything but a well-formed manifest whose every path is safe and names a
// file of its own; on success `entries` holds the files in processing order.
bool readManifest(const std::string& text, std::vector<ManifestEntry>& entries);

// The manifest's "objects" member: a relative "/"-separated UTF-8 folder of
// at most 200 bytes, each part a name, nothing a URL would read otherwise.
bool isSafeObjectFolder(const std::string& folder);

// True for a relative "/"-separated UTF-8 path that stays inside the game
// folder and names an ordinary file on Windows, with room for the staging
// suffix in its last part.
bool isSafeManifestPath(const std::string& path);

// False when two entries name one file on Windows (paths equal but for case)
// or an entry's file stands where another entry needs a folder.
bool namesAreDistinct(const std::vector<ManifestEntry>& entries);

// False when a staging path would not fit in MAX_PATH once joined to a game
// folder whose full path has folderLength UTF-16 code units.
bool pathsFitFolder(const std::vector<ManifestEntry>& entries, std::size_t folderLength);

// Strict UTF-8 (no overlong forms, no surrogates) to UTF-16.
bool decodeUtf8(const std::string& text, std::wstring& wide);

// "Downloading: " and friends: UTF-8 shown as UTF-16, byte by byte where the
// text is not valid UTF-8.
std::wstring widenForDisplay(const std::string& text);

bool isHexDigest(const std::string& text);

// Digests compared as values: the case of the hex letters does not matter.
bool sameDigest(const std::string& a, const std::string& b);

// The deepest nesting of arrays and objects in a JSON text (strings skipped),
// stopping early once `limit` is exceeded.
int jsonNestingDepth(const std::string& text, int limit);
