#include "updater/Updater.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "updater/FileHasher.h"
#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"

namespace {

// Cheap tests first: presence, then length, and the digest only when the
// length agrees. A query that fails (a folder there, access denied) means
// "fetch", and the fetch then fails on its own.
bool isUpToDate(const ManifestEntry& entry) {
    std::wstring wide;
    if (!decodeUtf8(entry.path, wide)) return false;
    const std::filesystem::path local(wide);
    std::error_code error;
    if (!std::filesystem::exists(local, error) || error) return false;
    const std::uintmax_t size = std::filesystem::file_size(local, error);
    if (error || size != entry.size) return false;
    // Byte for byte: a digest written in capitals is fetched on every pass.
    return hashFile(wide) == entry.hash;
}

}  // namespace

bool Updater::runPass() const {
    std::string body;
    switch (fetchToMemory(host, joinUrlPath(basePath, "manifest.json"), secure, body,
                          kMaxManifestBytes)) {
    case FetchResult::Complete:
        return applyManifest(body);
    case FetchResult::Rejected:
        // The server answered, so there is no fallback.
        return false;
    case FetchResult::NoResponse:
        break;
    }
    std::fputs("Manifest failed. Fallback...\n", stdout);
    std::fflush(stdout);
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(L"Main.exe"), error) && !error;
}

bool Updater::applyManifest(const std::string& text) const {
    std::vector<ManifestEntry> entries;
    // Every entry is checked before the first file is touched.
    if (!readManifest(text, entries)) return false;
    for (const ManifestEntry& entry : entries) {
        if (isUpToDate(entry)) continue;
        if (!fetchToFile(host, joinUrlPath(basePath, entry.path), secure, entry.path, entry.size,
                         entry.hash)) {
            return false;
        }
    }
    return true;
}
