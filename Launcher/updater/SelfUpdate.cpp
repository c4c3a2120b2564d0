#include "updater/SelfUpdate.h"

#include <windows.h>

#include <atomic>

#include "core/Process.h"
#include "updater/Manifest.h"

namespace {

std::atomic<bool> replacedSelf{false};

std::wstring oldLauncherPath(const std::wstring& program) {
    return program + widenForDisplay(kOldLauncherSuffix);
}

}  // namespace

bool namesProgram(const std::wstring& gameFolder, const std::wstring& localPath,
                  const std::wstring& program) {
    if (gameFolder.empty() || localPath.empty()) return false;
    std::wstring joined = gameFolder;
    // A drive root ("C:\") already ends in the separator.
    if (joined.back() != L'\\') joined += L'\\';
    for (const wchar_t c : localPath) joined += c == L'/' ? L'\\' : c;
    // File names on Windows compare like this: per UTF-16 unit, upper-cased.
    return CompareStringOrdinal(joined.c_str(), static_cast<int>(joined.size()), program.c_str(),
                                static_cast<int>(program.size()), TRUE) == CSTR_EQUAL;
}

bool replaceRunningProgram(const std::wstring& staging, const std::wstring& program) {
    const std::wstring aside = oldLauncherPath(program);
    if (!MoveFileExW(program.c_str(), aside.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    if (!MoveFileExW(staging.c_str(), program.c_str(), MOVEFILE_WRITE_THROUGH)) {
        // The folder keeps a launcher: the one that runs now.
        MoveFileExW(aside.c_str(), program.c_str(), MOVEFILE_WRITE_THROUGH);
        return false;
    }
    return true;
}

bool replaceIfRunningLauncher(const std::wstring& staging, const std::wstring& target,
                              bool& replaced) {
    const std::wstring program = runningModulePath();
    if (program.empty() || !namesProgram(currentDirectory(), target, program)) return false;
    replaced = replaceRunningProgram(staging, program);
    if (replaced) replacedSelf = true;
    return true;
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
