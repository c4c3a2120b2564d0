// What the parts of an update pass report: how a pass (or one step of it)
// failed, and the progress of a download.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Percentage 0..100 and the local path of the file being fetched.
using ProgressCallback = std::function<void(std::int32_t percent, const std::string& name)>;

// The path of a file fetched, verified and moved in.
using FetchedCallback = std::function<void(const std::string& name)>;

// Why a pass failed; the worker shows one status text for each.
enum class UpdateFailure {
    None,         // the pass succeeded
    Network,      // no answer, time limits, resets, or not the answer needed
    DamagedData,  // wrong length or digest, or a malformed or unsafe manifest
    FileInUse,    // a game file could not be written or replaced
    DiskSpace,    // too little free space for the files to fetch
    Unverified,   // a signed build got a manifest whose signature, version or expiry failed
    Offline,      // not a failure: no server answered and Main.exe is there, so the
                  // game may start, its files unchecked
};

// A word for the log.
inline const char* failureName(UpdateFailure failure) {
    switch (failure) {
    case UpdateFailure::None: return "none";
    case UpdateFailure::Network: return "connection";
    case UpdateFailure::DamagedData: return "damaged";
    case UpdateFailure::FileInUse: return "in use or read-only";
    case UpdateFailure::DiskSpace: return "disk space";
    case UpdateFailure::Unverified: return "not verified";
    case UpdateFailure::Offline: return "offline";
    }
    return "?";
}
