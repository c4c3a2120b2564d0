#include "updater/Updater.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/Process.h"
#include "core/SupportLog.h"
#include "updater/FileHasher.h"
#include "updater/FileTransfer.h"
#include "updater/ParallelCheck.h"
#include "updater/ParallelFetch.h"
#include "updater/PatchAddress.h"
#include "updater/VerificationRecords.h"

namespace {

// The game folder's full path in UTF-16 code units, without the terminator.
std::size_t gameFolderLength() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    return needed > 0 ? needed - 1 : MAX_PATH;
}

// Asked of the game folder itself, which follows mount points and the user's
// quota; none when it cannot be read.
std::optional<std::uint64_t> freeSpaceOfGameFolder() {
    std::wstring folder = currentDirectory();
    if (folder.empty()) return std::nullopt;
    if (folder.back() != L'\\') folder += L'\\';
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

// Bytes of the entry a staging file already holds (none when it is longer
// than the file: it starts over).
std::uint64_t stagedBytes(const ManifestEntry& entry) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring staging = entry.localPath + widenForDisplay(kStagingSuffix);
    if (!GetFileAttributesExW(staging.c_str(), GetFileExInfoStandard, &data)) return 0;
    const std::uint64_t size =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return size <= entry.size ? size : 0;
}

// A hotel's or café's network answers every address with its own sign-in
// page: a manifest that is a web page means no patch server was reached.
bool isWebPage(const std::string& body, const std::wstring& contentType) {
    if (contentType.compare(0, 9, L"text/html") == 0) return true;
    const std::size_t first = body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && body[first] == '<';
}

// The manifest, asked for with every cache on the way checking its copy;
// a web page in its place is Rejected.
FetchResult fetchManifest(const PatchConnection& connection, std::string& body, std::string* why) {
    std::wstring contentType;
    const FetchResult result =
        connection.fetchRevalidated("manifest.json", body, kMaxManifestBytes, &contentType, why);
    return result == FetchResult::Complete && isWebPage(body, contentType) ? FetchResult::Rejected
                                                                           : result;
}

}  // namespace

UpdateFailure Updater::runPass() const {
    // The primary first, then the mirrors; an address that cannot be parsed
    // has no connection and never answers.
    std::vector<std::unique_ptr<PatchConnection>> servers;
    const auto add = [&](const std::string& authority, const std::string& path, bool tls) {
        std::wstring hostName;
        INTERNET_PORT port = 0;
        if (splitAuthority(authority, tls, hostName, port)) {
            servers.push_back(std::make_unique<PatchConnection>(tls, hostName, port, path, limits));
        }
    };
    add(host, basePath, secure);
    // Only the signature makes a mirror as good as the primary: without a
    // key none is asked, whatever the build was given.
    if (!trust.publicKey.empty()) {
        for (const PatchMirror& mirror : mirrors) add(mirror.host, mirror.basePath, mirror.secure);
    } else if (!mirrors.empty()) {
        logLine("mirrors ignored: no key built in to verify them");
    }
    bool answered = false;
    UpdateFailure last = UpdateFailure::Network;
    for (std::size_t first = 0; first < servers.size(); ++first) {
        std::string body, why = "a web page";
        PatchConnection& connection = *servers[first];
        const FetchResult result = fetchManifest(connection, body, &why);
        // A server that answered with anything else leaves no fallback.
        answered = answered || result != FetchResult::NoResponse;
        last = UpdateFailure::Network;
        if (result != FetchResult::Complete) {
            logLine("manifest: none from " + asciiText(connection.name()) + " (" + why + ")");
            continue;
        }
        logLine("manifest: " + std::to_string(body.size()) + " bytes from " +
                asciiText(connection.name()));
        // A signed build lets nothing read the document before its signature,
        // version and expiry have passed. A server whose manifest fails them
        // (a mirror still on an older version) gives way to the next, whose
        // manifest is verified on its own.
        if (!trust.publicKey.empty()) {
            last = verifyManifest(connection, body);
            if (last != UpdateFailure::None) continue;
        }
        // The files come from the server that gave the manifest, then from
        // the others in order.
        std::vector<const PatchConnection*> order;
        for (std::size_t i = 0; i < servers.size(); ++i)
            order.push_back(servers[(first + i) % servers.size()].get());
        return applyManifest(order, body);
    }
    if (answered) return last;
    std::fputs("Manifest failed. Fallback...\n", stdout);
    std::fflush(stdout);
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(L"Main.exe"), error) && !error
               ? UpdateFailure::Offline
               : UpdateFailure::Network;
}

UpdateFailure Updater::verifyManifest(PatchConnection& connection, std::string& manifest) const {
    for (int round = 0;; ++round) {
        std::string signature, why;
        const FetchResult fetched = connection.fetchRevalidated(kSignatureName, signature,
                                                                kMaxSignatureBytes, nullptr, &why);
        if (fetched != FetchResult::Complete) {
            logLine("manifest signature: none from " + asciiText(connection.name()) + " (" + why +
                    ")");
        }
        // No answer says nothing of the manifest: the connection failed.
        if (fetched == FetchResult::NoResponse) return UpdateFailure::Network;
        const TrustVerdict verdict = fetched == FetchResult::Complete
                                         ? acceptManifest(trust, manifest, signature)
                                         : TrustVerdict::BadSignature;
        if (verdict == TrustVerdict::Trusted) return UpdateFailure::None;
        // A player who starts while the operator uploads, or while a CDN
        // serves a new manifest beside the old signature, gets a pair that
        // does not match: both are fetched once more, a moment later.
        if (verdict != TrustVerdict::BadSignature || round == 1) return UpdateFailure::Unverified;
        Sleep(limits.republishWaitMs);
        manifest.clear();
        if (fetchManifest(connection, manifest, nullptr) != FetchResult::Complete) {
            return UpdateFailure::Network;
        }
    }
}

UpdateFailure Updater::applyManifest(PatchConnection& connection, const std::string& text) const {
    return applyManifest(std::vector<const PatchConnection*>{&connection}, text);
}

UpdateFailure Updater::applyManifest(const std::vector<const PatchConnection*>& hosts,
                                     const std::string& text) const {
    std::vector<ManifestEntry> entries;
    // Every entry is checked before the first file is touched.
    if (!readManifest(text, entries)) return UpdateFailure::DamagedData;
    // A game folder too deep for the files' paths is a local problem.
    if (!pathsFitFolder(entries, gameFolderLength())) return UpdateFailure::FileInUse;
    // Every file is compared before the first fetch (the files further down
    // hashed ahead on a pool of threads); the fetches then follow in manifest
    // order, and the first that fails ends the pass.
    VerificationRecords records(entries, verifyAll);
    const std::vector<std::size_t> fetches = entriesToFetch(entries, records);
    records.checksDone();
    std::uint64_t needed = 0;
    for (const std::size_t index : fetches) {
        // Saturating: sizes near 2^64 must not wrap to a small sum.
        const std::uint64_t size = entries[index].size - stagedBytes(entries[index]);
        needed = size > ~needed ? ~std::uint64_t{0} : needed + size;
    }
    const std::optional<std::uint64_t> free = freeSpace ? freeSpace : freeSpaceOfGameFolder();
    logLine(std::to_string(entries.size()) + " files listed, " + std::to_string(fetches.size()) +
            " to fetch (" + std::to_string(needed) + " bytes still to come), free space " +
            (free ? std::to_string(*free) + " bytes" : std::string("unknown: not checked")));
    // The files in place as one line: a line each would push earlier runs
    // out of the log of a game of tens of thousands of files.
    std::uint64_t inPlace = 0;
    for (std::size_t i = 0, next = 0; i < entries.size(); ++i) {
        if (next < fetches.size() && fetches[next] == i) {
            ++next;
        } else {
            inPlace += entries[i].size;
        }
    }
    logLine(std::to_string(entries.size() - fetches.size()) + " up to date (" +
            std::to_string(inPlace) + " bytes)");
    if (needed > 0 && free && needed > *free) return UpdateFailure::DiskSpace;
    std::vector<const ManifestEntry*> files;
    for (const std::size_t index : fetches) files.push_back(&entries[index]);
    const FetchedCallback fetched = [&](const std::string& name) {
        records.fetched(name);
        records.saveIfDue();
        if (onFetched) onFetched(name);
    };
    const UpdateFailure failure = fetchAll(hosts, files, limits.connections, onProgress, fetched);
    records.save();
    return failure;
}

UpdateFailure Updater::fetchToFile(PatchConnection& connection, const std::string& name,
                                   const ManifestEntry& entry) const {
    return transferFile(connection, name, entry, onProgress, nullptr);
}
