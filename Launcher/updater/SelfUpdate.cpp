#include "updater/SelfUpdate.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "core/Process.h"
#include "updater/FileMoves.h"
#include "updater/Manifest.h"

namespace {

std::atomic<bool> replacedSelf{false};
// Held from the first move to the last; the process's end takes it and
// keeps it.
std::timed_mutex moving;

std::wstring oldLauncherPath(const std::wstring& program) {
    return program + widenForDisplay(kOldLauncherSuffix);
}

}  // namespace

bool replaceRunningProgram(const std::wstring& staging, const std::wstring& program) {
    const std::lock_guard<std::timed_mutex> lock(moving);
    const std::wstring aside = oldLauncherPath(program);
    if (!moveFileWaiting(program, aside, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    if (moveFileWaiting(staging, program, MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    // The folder keeps a launcher: the one that runs now. Moving it back is
    // tried for longer than a move in, since nothing else can stand in for it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (moveFileWaiting(aside, program, MOVEFILE_WRITE_THROUGH)) break;
    }
    SetLastError(error);
    return false;
}

bool replaceIfRunningLauncher(const std::wstring& staging, const std::wstring& target,
                              bool& replaced) {
    const std::wstring program = runningModulePath();
    if (program.empty() || !sameFile(target, program)) return false;
    replaced = replaceRunningProgram(staging, program);
    if (replaced) replacedSelf = true;
    return true;
}

void finishSelfUpdate(DWORD ms) {
    // Never unlocked: the process is ending, and no move may start now.
    (void)moving.try_lock_for(std::chrono::milliseconds(ms));
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
