#include "updater/Updater.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "updater/FileHasher.h"
#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"

namespace {

// Cheap tests first: presence and length (one query that never throws),
// and the digest only when the length agrees. A query that fails (access
// denied) or finds a folder means "fetch", and the fetch then fails.
bool isUpToDate(const ManifestEntry& entry) {
    std::wstring wide;
    if (!decodeUtf8(entry.path, wide)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    const std::uint64_t size =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != entry.size) return false;
    // Byte for byte: a digest written in capitals is fetched on every pass.
    return hashFile(wide) == entry.hash;
}

}  // namespace

bool Updater::runPass(bool* offline) const {
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
    if (offline) *offline = true;
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
