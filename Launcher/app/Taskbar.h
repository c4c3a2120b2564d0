// The pass's progress on the window's taskbar button, kept up to date from
// the window thread's timer tick.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>

struct LauncherState;

enum class TaskbarMark { None, Normal, Error };

struct TaskbarProgress {
    TaskbarMark mark = TaskbarMark::None;
    int32_t percent = 0;
    bool operator==(const TaskbarProgress& o) const {
        return mark == o.mark && percent == o.percent;
    }
};

// What the button shows of the pass: the bar's value while the pass runs and
// the bar shows some, a full red bar once the pass failed, and nothing
// otherwise (after a success, offline, before a restart).
TaskbarProgress taskbarProgressFor(const LauncherState& state);

// Whatever shows the progress on the button: the shell's taskbar list, or a
// test's stand-in.
class TaskbarList {
public:
    virtual ~TaskbarList() = default;
    virtual void show(HWND window, const TaskbarProgress& progress) = 0;
};

// Where the button gets its list. ready() is true once make() can run
// without a long wait (its first call may start getting ready elsewhere);
// make() runs on the window thread and gives null where the system has none.
struct TaskbarListSource {
    bool (*ready)();
    std::unique_ptr<TaskbarList> (*make)();
};
// The shell's ITaskbarList3, with COM started on the calling thread.
extern const TaskbarListSource kShellTaskbarList;

class TaskbarButton {
public:
    explicit TaskbarButton(TaskbarListSource source = kShellTaskbarList) : source_(source) {}

    // The shell made the window's button, or made it again after restarting:
    // it shows nothing of what was shown before.
    void buttonCreated() { shown_.reset(); }
    // Shows `wanted` when it differs from what the button shows. The list is
    // made the first time there is something to show, and only once.
    void show(HWND window, const TaskbarProgress& wanted);
    // Lets the list go, before the window does.
    void release();

private:
    TaskbarListSource source_;
    std::unique_ptr<TaskbarList> list_;
    bool unavailable_ = false;
    std::optional<TaskbarProgress> shown_;  // none: not known
};
