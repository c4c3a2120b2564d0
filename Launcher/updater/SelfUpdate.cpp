#include "updater/SelfUpdate.h"

#include <atomic>
#include <mutex>
#include <string>

#include "core/Process.h"
#include "core/SupportLog.h"
#include "updater/FileMoves.h"
#include "updater/Manifest.h"

namespace {

std::atomic<bool> replacedSelf{false};
// Held from the first move to the last; the process's end takes it and
// keeps it.
std::mutex moving;

std::wstring oldLauncherPath(const std::wstring& program) {
    return program + widenForDisplay(kOldLauncherSuffix);
}

}  // namespace

bool replaceRunningProgram(const std::wstring& staging, const std::wstring& program) {
    const std::lock_guard<std::mutex> lock(moving);
    const std::wstring aside = oldLauncherPath(program);
    if (!moveFileWaiting(program, aside, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        logLine("self-update: the running launcher could not be moved aside (error " +
                std::to_string(GetLastError()) + ")");
        return false;
    }
    logLine("self-update: the running launcher moved aside");
    if (moveFileWaiting(staging, program, MOVEFILE_WRITE_THROUGH)) {
        logLine("self-update: the new launcher moved in");
        return true;
    }
    const DWORD error = GetLastError();
    // The folder keeps a launcher: the one that runs now. Moving it back is
    // tried for longer than a move in, since nothing else can stand in for it.
    bool back = false;
    for (int attempt = 0; attempt < 3 && !back; ++attempt) {
        back = moveFileWaiting(aside, program, MOVEFILE_WRITE_THROUGH);
    }
    logLine("self-update: the new launcher could not be moved in (error " + std::to_string(error) +
            "); the running one " + (back ? "moved back" : "could NOT be moved back"));
    SetLastError(error);
    return false;
}

bool replaceIfRunningLauncher(const std::wstring& staging, const std::wstring& target,
                              std::uint64_t targetSize, bool& replaced) {
    // Asked of every file a pass moves in: the launcher's own path and size
    // are looked up once, and only a file of its size is opened to compare.
    static const std::wstring program = runningModulePath();
    static const std::uint64_t programSize = [] {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExW(program.c_str(), GetFileExInfoStandard, &data)
                   ? (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                   : ~std::uint64_t{0};
    }();
    if (program.empty() || targetSize != programSize || !sameFile(target, program)) return false;
    replaced = replaceRunningProgram(staging, program);
    if (replaced) replacedSelf = true;
    return true;
}

void finishSelfUpdate() {
    // Never unlocked: the process is ending, and no move may start now. No
    // time limit: a scanner holding a file stretches the moves well past any
    // fixed wait, and each of them gives up on its own.
    moving.lock();
}

bool launcherReplaced() {
    return replacedSelf;
}

void removeOldLauncher(const std::wstring& program) {
    if (program.empty()) return;
    const std::wstring aside = oldLauncherPath(program);
    if (GetFileAttributesW(aside.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    // A read-only launcher stays read-only when renamed.
    SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (DeleteFileW(aside.c_str())) return;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return;
        Sleep(50);
    }
}
