// One update pass: fetch the manifest, compare every listed file, fetch and
// verify each one that is missing or differs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Percentage 0..100 and the local path of the file being fetched.
using ProgressCallback = std::function<void(std::int32_t percent, const std::string& name)>;

struct Updater {
    std::string host;      // dotted IPv4 address or host name
    std::string basePath;  // URL path prefix of the manifest and the files
    bool secure = false;   // HTTPS on 443 instead of HTTP on 80
    ProgressCallback onProgress;

    // The whole pass; true when every listed file is up to date afterwards,
    // or when no server answered and Main.exe is present.
    bool runPass() const;
    // Checks the whole manifest first, then compares every listed file, then
    // fetches those that differ in order; stops at the first failure.
    bool applyManifest(const std::string& text) const;
    // Streams the body of urlPath on serverHost into a staging file beside localPath (UTF-8) and
    // renames it over localPath only when it has exactly expectedSize bytes
    // with digest expectedHash. On any failure localPath is left as it was.
    bool fetchToFile(const std::string& serverHost, const std::string& urlPath, bool useTls,
                     const std::string& localPath, std::uint64_t expectedSize,
                     const std::string& expectedHash) const;
};
