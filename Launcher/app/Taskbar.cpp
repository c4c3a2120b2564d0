#include "app/Taskbar.h"

#include <shobjidl.h>

#include <atomic>

#include "core/LauncherState.h"

TaskbarProgress taskbarProgressFor(const LauncherState& state) {
    // Finished first: the worker writes the failure before it.
    if (state.updateFinished) {
        // The whole button red: a pass may fail before its first byte.
        return state.updateFailed ? TaskbarProgress{TaskbarMark::Error, 100} : TaskbarProgress{};
    }
    const int32_t percent = state.progressPercent;
    // An empty bar shows nothing either way, and a pass that downloads
    // nothing never needs the shell's code.
    if (percent <= 0) return {};
    return {TaskbarMark::Normal, percent};
}

namespace {

// Loading the shell's taskbar code takes tens of milliseconds (40 ms under
// Wine here), too long for the window thread to stand still: it is loaded on
// a thread of its own, and the list is made from it once it is in memory.
std::atomic<bool> shellCodeLoaded{false};

DWORD WINAPI loadShellCode(LPVOID) {
    // Where Windows 7 and later keep the taskbar list; from the system folder
    // only, never from beside the launcher. Where it is not found there the
    // list is made all the same, from wherever the system registered it.
    LoadLibraryExW(L"ExplorerFrame.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    shellCodeLoaded = true;
    return 0;
}

bool shellCodeReady() {
    static bool started = false;  // the window thread's alone
    if (!started) {
        started = true;
        const HANDLE thread = CreateThread(nullptr, 0, loadShellCode, nullptr, 0, nullptr);
        if (!thread) return true;  // made without help, then
        CloseHandle(thread);
    }
    return shellCodeLoaded;
}

class ShellTaskbarList : public TaskbarList {
public:
    ShellTaskbarList() {
        // An apartment of the window thread's own; one that exists already,
        // of either kind, serves as it is.
        comStarted_ =
            SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ITaskbarList3, reinterpret_cast<void**>(&list_)))) {
            list_ = nullptr;
        } else if (FAILED(list_->HrInit())) {
            list_->Release();
            list_ = nullptr;
        }
    }
    ~ShellTaskbarList() override {
        if (list_) list_->Release();
        if (comStarted_) CoUninitialize();
    }
    ShellTaskbarList(const ShellTaskbarList&) = delete;
    ShellTaskbarList& operator=(const ShellTaskbarList&) = delete;

    bool valid() const { return list_ != nullptr; }

    void show(HWND window, const TaskbarProgress& progress) override {
        // A value turns a button without progress to the normal state: the
        // value first, then the state it is shown in.
        if (progress.mark != TaskbarMark::None) {
            list_->SetProgressValue(window, static_cast<ULONGLONG>(progress.percent), 100);
        }
        list_->SetProgressState(window, progress.mark == TaskbarMark::Error    ? TBPF_ERROR
                                        : progress.mark == TaskbarMark::Normal ? TBPF_NORMAL
                                                                               : TBPF_NOPROGRESS);
    }

private:
    ITaskbarList3* list_ = nullptr;
    bool comStarted_ = false;
};

std::unique_ptr<TaskbarList> makeShellTaskbarList() {
    auto list = std::make_unique<ShellTaskbarList>();
    if (!list->valid()) return nullptr;
    return list;
}

}  // namespace

const TaskbarListSource kShellTaskbarList{shellCodeReady, makeShellTaskbarList};

void TaskbarButton::show(HWND window, const TaskbarProgress& wanted) {
    if (shown_ == wanted) return;
    if (!list_) {
        // Without a list nothing was shown, which is what None asks for.
        if (unavailable_ || wanted.mark == TaskbarMark::None || !source_.ready()) return;
        list_ = source_.make();
        unavailable_ = !list_;
        if (!list_) return;
    }
    list_->show(window, wanted);
    shown_ = wanted;
}

void TaskbarButton::release() {
    list_.reset();
    shown_.reset();
}
