#include "updater/Updater.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "updater/FileHasher.h"
#include "updater/PatchAddress.h"

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

// The game folder's full path in UTF-16 code units, without the terminator.
std::size_t gameFolderLength() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    return needed > 0 ? needed - 1 : MAX_PATH;
}

std::uint64_t freeSpaceOfGameFolder() {
    ULARGE_INTEGER available{};
    return GetDiskFreeSpaceExW(nullptr, &available, nullptr, nullptr) ? available.QuadPart : 0;
}

}  // namespace

UpdateFailure Updater::runPass() const {
    std::wstring hostName;
    INTERNET_PORT port = 0;
    if (!splitAuthority(host, secure, hostName, port)) return UpdateFailure::Network;
    std::string narrowHost;
    for (const wchar_t c : hostName) narrowHost.push_back(static_cast<char>(c));
    PatchConnection connection(secure, narrowHost, port, basePath, limits);
    std::string body;
    switch (connection.fetchToMemory("manifest.json", body, kMaxManifestBytes)) {
    case FetchResult::Complete:
        // A signed build lets nothing read the document before its signature,
        // version and expiry have passed; a failure here never falls back.
        if (!trust.publicKey.empty()) {
            std::string signature;
            if (connection.fetchToMemory(kSignatureName, signature, kMaxSignatureBytes) !=
                    FetchResult::Complete ||
                !acceptManifest(trust, body, signature)) {
                return UpdateFailure::Unverified;
            }
        }
        return applyManifest(connection, body);
    case FetchResult::Rejected:
        // The server answered, so there is no fallback.
        return UpdateFailure::Network;
    case FetchResult::NoResponse:
        break;
    }
    std::fputs("Manifest failed. Fallback...\n", stdout);
    std::fflush(stdout);
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(L"Main.exe"), error) && !error
               ? UpdateFailure::Offline
               : UpdateFailure::Network;
}

UpdateFailure Updater::applyManifest(PatchConnection& connection, const std::string& text) const {
    std::vector<ManifestEntry> entries;
    // Every entry is checked before the first file is touched.
    if (!readManifest(text, entries) || !pathsFitFolder(entries, gameFolderLength())) {
        return UpdateFailure::DamagedData;
    }
    const std::vector<const ManifestEntry*> fetches = entriesToFetch(entries);
    std::uint64_t needed = 0;
    for (const ManifestEntry* entry : fetches) {
        // Saturating: sizes near 2^64 must not wrap to a small sum.
        needed = entry->size > ~needed ? ~std::uint64_t{0} : needed + entry->size;
    }
    if (needed > 0 && needed > (freeSpace ? *freeSpace : freeSpaceOfGameFolder())) {
        return UpdateFailure::DiskSpace;
    }
    for (const ManifestEntry* entry : fetches) {
        const UpdateFailure failure =
            fetchToFile(connection, entry->path, entry->path, entry->size, entry->hash);
        if (failure != UpdateFailure::None) return failure;
    }
    return UpdateFailure::None;
}

std::vector<const ManifestEntry*> Updater::entriesToFetch(
    const std::vector<ManifestEntry>& entries) const {
    std::vector<const ManifestEntry*> fetches;
    for (const ManifestEntry& entry : entries) {
        if (!isUpToDate(entry)) fetches.push_back(&entry);
    }
    return fetches;
}
