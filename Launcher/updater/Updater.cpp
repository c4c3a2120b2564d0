#include "updater/Updater.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"
#include "updater/ParallelCheck.h"

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
    // Every file is compared before the first fetch; the fetches then follow
    // in manifest order, and the first that fails ends the pass.
    for (const std::size_t index : entriesToFetch(entries)) {
        const ManifestEntry& entry = entries[index];
        if (!fetchToFile(host, joinUrlPath(basePath, entry.path), secure, entry.path, entry.size,
                         entry.hash)) {
            return false;
        }
    }
    return true;
}
