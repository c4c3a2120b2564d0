// The downloads of a pass, several at once: a far patch server costs a round
// trip before every file's first byte, which files fetched side by side hide.
#pragma once

#include <vector>

#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"
#include "updater/UpdateTypes.h"

// Fetches `files` (in manifest order) on up to `connections` threads, each
// file from hosts[0] and, when that fails to deliver it (no answer, server
// errors, time limits, a cut it cannot resume, bytes that fail the digest),
// from the next hosts in turn, continuing what it staged. Progress is
// reported for the earliest file still in flight only; onFetched (may be
// empty) hears of each file in place. Once a file fails no
// other starts; files before it finish, files after it stop with their
// staging files kept; the earliest failure in manifest order is returned.
UpdateFailure fetchAll(const std::vector<const PatchConnection*>& hosts,
                       const std::vector<const ManifestEntry*>& files, int connections,
                       const ProgressCallback& onProgress, const FetchedCallback& onFetched);
