// One update pass: fetch the manifest, compare every listed file, fetch and
// verify each one that is missing or differs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"
#include "updater/ManifestTrust.h"

// Percentage 0..100 and the local path of the file being fetched.
using ProgressCallback = std::function<void(std::int32_t percent, const std::string& name)>;

// Why a pass failed; the worker shows one status text for each.
enum class UpdateFailure {
    None,         // the pass succeeded
    Network,      // no answer, time limits, resets, or not the answer needed
    DamagedData,  // wrong length or digest, or a malformed or unsafe manifest
    FileInUse,    // a game file could not be written or replaced
    DiskSpace,    // too little free space for the files to fetch
    Unverified,   // a signed build got a manifest whose signature, version or expiry failed
    Offline,      // not a failure: no server answered and Main.exe is there, so the
                  // game may start, its files unchecked
};

struct Updater {
    std::string host;      // host name or dotted IPv4 address, then an optional ":port"
    std::string basePath;  // URL path prefix of the manifest and the files
    bool secure = false;   // HTTPS (TLS, default port 443) instead of HTTP (80)
    ProgressCallback onProgress;
    TransferLimits limits;
    // The free space to assume on the game folder's volume; empty: ask it.
    std::optional<std::uint64_t> freeSpace;
    // The key manifests must be signed with; none in a build without one.
    ManifestTrust trust = builtInTrust();

    // The whole pass; None when every listed file is up to date afterwards,
    // or when no server answered and Main.exe is present.
    UpdateFailure runPass() const;
    // Checks the whole manifest, decides every entry, checks the free space,
    // then fetches in manifest order and stops at the first failure.
    UpdateFailure applyManifest(PatchConnection& connection, const std::string& text) const;
    // Streams basePath + name into a staging file beside localPath (UTF-8),
    // resuming a staging file left by a killed run, and commits it over
    // localPath only when it has exactly expectedSize bytes with digest
    // expectedHash. On any failure localPath is left as it was.
    UpdateFailure fetchToFile(PatchConnection& connection, const std::string& name,
                              const std::string& localPath, std::uint64_t expectedSize,
                              const std::string& expectedHash) const;
};

// Replaces targetPath by the verified and flushed staging file; every fetched
// file goes through here.
UpdateFailure commitStagedFile(const std::wstring& stagingPath, const std::wstring& targetPath);
