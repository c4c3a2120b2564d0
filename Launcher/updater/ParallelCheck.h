// Which listed files must be fetched, decided as a walk through the manifest
// in order would decide them, with the files further down already being
// hashed on a small pool of threads.
#pragma once

#include <cstddef>
#include <vector>

#include "updater/Manifest.h"

class VerificationRecords;

// The indices of the entries to fetch, in manifest order: the file is
// missing, has another length, or another digest (compared byte for byte, so
// a digest in capitals never matches). The entries name distinct files, as
// readManifest makes sure, so each is decided by its own file on disk: by
// `records` (see checkFile), which are told each decision.
std::vector<std::size_t> entriesToFetch(const std::vector<ManifestEntry>& entries,
                                         VerificationRecords& records);

// Threads that hash ahead: 0, the default, means one per core the process
// may use, at most 4; 1 decides every entry on the calling thread. Returns
// the previous setting. For tests and benchmarks.
int setCheckThreads(int threads);

// The threads the checks use as set; the other work of the pass that reads
// whole files (finding the blocks of a delta) takes as many.
int checkThreadCount();
