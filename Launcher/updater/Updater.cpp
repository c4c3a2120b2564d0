#include "updater/Updater.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "updater/FileHasher.h"
#include "updater/ParallelCheck.h"
#include "updater/PatchAddress.h"

namespace {

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
    PatchConnection connection(secure, hostName, port, basePath, limits);
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
    // Every file is compared before the first fetch (the files further down
    // hashed ahead on a pool of threads); the fetches then follow in manifest
    // order, and the first that fails ends the pass.
    const std::vector<std::size_t> fetches = entriesToFetch(entries);
    std::uint64_t needed = 0;
    for (const std::size_t index : fetches) {
        // Saturating: sizes near 2^64 must not wrap to a small sum.
        const std::uint64_t size = entries[index].size;
        needed = size > ~needed ? ~std::uint64_t{0} : needed + size;
    }
    if (needed > 0 && needed > (freeSpace ? *freeSpace : freeSpaceOfGameFolder())) {
        return UpdateFailure::DiskSpace;
    }
    for (const std::size_t index : fetches) {
        const ManifestEntry& entry = entries[index];
        const UpdateFailure failure = fetchToFile(connection, entry.path, entry);
        if (failure != UpdateFailure::None) return failure;
    }
    return UpdateFailure::None;
}
