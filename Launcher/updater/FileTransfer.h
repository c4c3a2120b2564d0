// One file on its way from the patch server into the game folder: streamed
// into a staging file beside its target, hashed on the way, flushed, and
// moved over the target only once verified.
#pragma once

#include <functional>
#include <string>

#include "updater/HttpFetcher.h"
#include "updater/Manifest.h"
#include "updater/UpdateTypes.h"

// Asked between the pieces of a transfer: true when it is to stop, its
// staged bytes kept for the next start (an earlier file of the pass failed).
using Abandoned = std::function<bool()>;

// Fetches basePath + name (with objects, the entry's object) into the
// entry's file: a delta where the entry has a block list and an old copy,
// else the whole file, continuing a staging file left by an earlier try, or
// from its compressed copy when there is nothing to continue; verified,
// flushed and moved in. On any
// failure the file is left as it was. Progress is reported under the entry's
// path; `abandoned` may be empty.
UpdateFailure transferFile(const PatchConnection& connection, const std::string& name,
                           const ManifestEntry& entry, const ProgressCallback& onProgress,
                           const Abandoned& abandoned);

// Replaces targetPath by the verified and flushed staging file; every fetched
// file goes through here.
UpdateFailure commitStagedFile(const std::wstring& stagingPath, const std::wstring& targetPath);
