// One update pass: fetch the manifest, compare every listed file, fetch and
// verify each one that is missing or differs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"
#include "updater/ManifestTrust.h"
#include "updater/UpdateTypes.h"

// Another patch server with the same files: a mirror of the primary.
struct PatchMirror {
    std::string host;  // host name or dotted IPv4 address, then an optional ":port"
    std::string basePath;
    bool secure = false;
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
    // Asked, in order, when the patch server above gives no manifest that
    // passes verification, and for a file it fails to deliver. Only a signed
    // build asks any: the signature and the digests make every mirror as good
    // as the primary.
    std::vector<PatchMirror> mirrors;
    // Told the path of each file once it is in place (may be empty).
    FetchedCallback onFetched;
    // Every file is read, whatever the records of earlier passes say (--verify).
    bool verifyAll = false;

    // The whole pass; None when every listed file is up to date afterwards,
    // or when no server answered and Main.exe is present. When no server
    // gave a manifest to apply, the last server's failure.
    UpdateFailure runPass() const;
    // In a signed build: the signature, version and expiry of the fetched
    // manifest, which may be fetched once more (publishing races).
    UpdateFailure verifyManifest(PatchConnection& connection, std::string& manifest) const;
    // Checks the whole manifest, decides every entry, checks the free space,
    // then fetches in manifest order and stops at the first failure.
    UpdateFailure applyManifest(PatchConnection& connection, const std::string& text) const;
    // The same over the servers of `hosts`, the manifest's first: up to
    // limits.connections files at once; once one fails no other starts, the
    // ones before it finish, the ones after it stop (their staging files
    // kept), and the earliest failure in manifest order is the pass's. A file
    // a server fails to deliver is fetched from the next one.
    UpdateFailure applyManifest(const std::vector<const PatchConnection*>& hosts,
                                const std::string& text) const;
    // Streams basePath + name into a staging file beside the entry's local
    // path, resuming a staging file left by a killed run, and commits it over
    // the file only when it has exactly the entry's size and digest. On any
    // failure the file is left as it was. Progress is reported under the
    // entry's path as written.
    UpdateFailure fetchToFile(PatchConnection& connection, const std::string& name,
                              const ManifestEntry& entry) const;
};
