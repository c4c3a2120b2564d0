#include "updater/FileMoves.h"

#include "core/Handles.h"

bool moveFileWaiting(const std::wstring& from, const std::wstring& to, DWORD flags) {
    const ULONGLONG deadline = GetTickCount64() + kHeldFileWaitMs;
    while (true) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            GetTickCount64() >= deadline) {
            SetLastError(error);
            return false;
        }
        Sleep(50);
    }
}

namespace {

bool identityOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    // No access asked for, every sharing allowed: a running program opens too.
    const UniqueFile file(CreateFileW(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    return file && GetFileInformationByHandle(file.get(), &info);
}

}  // namespace

bool sameFile(const std::wstring& a, const std::wstring& b) {
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return identityOf(a, first) && identityOf(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}
