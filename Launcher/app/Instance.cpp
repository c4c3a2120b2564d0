#include "app/Instance.h"

#include <cstdint>
#include <cstring>

#include "core/Handles.h"
#include "core/LauncherState.h"
#include "core/Process.h"
#include "updater/UpdateWorker.h"

namespace {

constexpr DWORD kHandoverWaitMs = 5000;

// Set once this process owns the folder's mutex.
std::wstring claimedName;
HANDLE claimedMutex = nullptr;
// Both live as long as the process; the system closes them at its end.
HANDLE windowRecord = nullptr;
HANDLE handover = nullptr;

std::wstring windowRecordName(const std::wstring& name) {
    return name + L"-window";
}
std::wstring handoverName(const std::wstring& name) {
    return name + L"-handover";
}

void bringWindowToFront(const std::wstring& name) {
    UniqueKernelHandle record(
        OpenFileMappingW(FILE_MAP_READ, FALSE, windowRecordName(name).c_str()));
    if (!record) return;
    const UniqueMapView view(
        MapViewOfFile(record.get(), FILE_MAP_READ, 0, 0, sizeof(std::uint64_t)));
    if (!view) return;
    std::uint64_t value = 0;
    std::memcpy(&value, view.get(), sizeof value);
    const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
    if (!window || !IsWindow(window)) return;
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    // Activation alone does not restack the window everywhere (Wine).
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

}  // namespace

std::wstring instanceName(const std::wstring& gameFolder) {
    // Windows compares folder names without regard to case.
    std::wstring folded = gameFolder;
    if (!folded.empty()) {
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, gameFolder.c_str(),
                      static_cast<int>(gameFolder.size()), &folded[0],
                      static_cast<int>(folded.size()), nullptr, nullptr, 0);
    }
    // FNV-1a, 64 bits, over the UTF-16 units: a path holds characters a
    // kernel object's name may not (the backslash).
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t c : folded) {
        hash ^= static_cast<std::uint16_t>(c);
        hash *= 1099511628211ull;
    }
    std::wstring name = L"ZovraLauncher-0000000000000000";
    for (std::size_t i = name.size(); hash != 0; hash >>= 4)
        name[--i] = L"0123456789abcdef"[hash & 0xF];
    return name;
}

bool claimGameFolder(bool bringToFront) {
    const std::wstring folder = currentDirectory();
    // Without a folder or a mutex nothing can be told: the player is never
    // kept out.
    if (folder.empty()) return true;
    const std::wstring name = instanceName(folder);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    // A launcher at another integrity level (elevated) owns a mutex this one
    // may not open: the folder is taken. Other failures keep nobody out.
    if (!mutex) return GetLastError() != ERROR_ACCESS_DENIED;
    DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_TIMEOUT) {
        UniqueKernelHandle restarting(OpenEventW(SYNCHRONIZE, FALSE, handoverName(name).c_str()));
        if (restarting) wait = WaitForSingleObject(mutex, kHandoverWaitMs);
    }
    if (wait == WAIT_TIMEOUT) {
        CloseHandle(mutex);
        if (bringToFront) bringWindowToFront(name);
        return false;
    }
    // Owned until the process ends, when the mutex goes (abandoned) with it.
    claimedName = name;
    claimedMutex = mutex;
    return true;
}

void releaseGameFolder() {
    if (!claimedMutex) return;
    ReleaseMutex(claimedMutex);
    CloseHandle(claimedMutex);
    claimedMutex = nullptr;
    claimedName.clear();
}

void publishInstanceWindow(HWND window) {
    if (claimedName.empty() || windowRecord) return;
    windowRecord = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(std::uint64_t), windowRecordName(claimedName).c_str());
    if (!windowRecord) return;
    const UniqueMapView view(
        MapViewOfFile(windowRecord, FILE_MAP_WRITE, 0, 0, sizeof(std::uint64_t)));
    if (!view) return;
    const std::uint64_t value = reinterpret_cast<std::uintptr_t>(window);
    std::memcpy(view.get(), &value, sizeof value);
}

void restartLauncher(HWND window) {
    // While it exists the new launcher waits for this one instead of giving
    // way to it; it goes with this process.
    if (!claimedName.empty() && !handover) {
        handover = CreateEventW(nullptr, TRUE, FALSE, handoverName(claimedName).c_str());
    }
    if (startProgram(runningModulePath(), currentDirectory())) {
        DestroyWindow(window);
        return;
    }
    // The files are current all the same: the game may start from here.
    if (handover) {
        CloseHandle(handover);
        handover = nullptr;
    }
    launcherState.updateSucceeded = true;
    launcherState.statusDetail.set(outcomeText(UpdateFailure::None));
    requestRepaint();
}
