#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "app/Taskbar.h"
#include "core/LauncherState.h"

// What Wine lets a test see of the taskbar: its list is made (explorerframe),
// but every call on it is a stub that answers S_OK, even for a window that
// does not exist, and the shell's "TaskbarButtonCreated" never comes. So the
// decisions are tested here and the calls themselves nowhere.
namespace {

constexpr TaskbarMark None = TaskbarMark::None, Normal = TaskbarMark::Normal,
                      Error = TaskbarMark::Error;

}  // namespace

// The bar's value while the pass runs and the bar shows some; red over the
// whole button once the pass failed, before its first byte too; nothing
// once it succeeded, went offline, or ends in a restart (neither succeeded
// nor failed).
TEST(TaskbarTest, ButtonShowsTheBarWhileThePassRunsAndRedOnlyAfterAFailure) {
    // clang-format off
    const struct { bool finished, succeeded, failed; int32_t percent; TaskbarProgress want; }
    cases[] = {
        {0, 0, 0, 0, {None, 0}}, {0, 0, 0, 1, {Normal, 1}}, {0, 0, 0, 100, {Normal, 100}},
        {1, 1, 0, 100, {None, 0}}, {1, 0, 0, 100, {None, 0}},
        {1, 0, 1, 40, {Error, 100}}, {1, 0, 1, 0, {Error, 100}}};
    // clang-format on
    LauncherState& s = launcherState;
    for (const auto& c : cases) {
        s.updateFinished = c.finished;
        s.updateSucceeded = c.succeeded;
        s.updateFailed = c.failed;
        s.progressPercent = c.percent;
        EXPECT_EQ(taskbarProgressFor(s), c.want) << &c - cases;
    }
    s.updateFinished = s.updateSucceeded = s.updateFailed = false;
    s.progressPercent = 0;
}

// The list is made the first time there is something to show, once the
// shell's code is in, and only once, even where the system has none; the
// button is told only what changed, and all again once the shell made it
// anew (Explorer restarted).
TEST(TaskbarTest, ButtonIsToldOnlyChangesAndAllAgainWhenTheShellRemadeIt) {
    static std::vector<TaskbarProgress> told;
    static int made;
    struct Recorder : TaskbarList {
        void show(HWND, const TaskbarProgress& p) override { told.push_back(p); }
    };
    const auto record = [] { return ++made, std::unique_ptr<TaskbarList>(new Recorder); };
    const auto absent = [] { return ++made, std::unique_ptr<TaskbarList>(); };
    const TaskbarProgress none{}, at10{Normal, 10}, at50{Normal, 50}, red{Error, 100};
    const TaskbarProgress remade{None, -1};  // the shell's message in place of a tick
    // clang-format off
    const struct { TaskbarListSource source; std::vector<TaskbarProgress> ticks, want; int made; }
        cases[] = {{{[] { return true; }, record},
                    {none, none, at10, at10, at50, remade, at50, at50, none, none, red},
                    {at10, at50, at50, none, red}, 1},
                   {{[] { return true; }, absent}, {at10, at50, red}, {}, 1},
                   {{[] { return false; }, record}, {at10, red}, {}, 0}};
    // clang-format on
    for (const auto& c : cases) {
        told.clear();
        made = 0;
        TaskbarButton button(c.source);
        for (const TaskbarProgress& tick : c.ticks)
            tick == remade ? button.buttonCreated() : button.show(nullptr, tick);
        EXPECT_EQ(told, c.want) << &c - cases;
        EXPECT_EQ(made, c.made) << &c - cases;
    }
}

// The shell's code is loaded elsewhere before the list is made, and the list
// is made on a thread that never started COM.
TEST(TaskbarTest, ShellListIsMadeOnAThreadWithoutCom) {
    std::thread([] {
        for (int i = 0; i < 500 && !kShellTaskbarList.ready(); ++i) Sleep(10);
        EXPECT_NE(GetModuleHandleW(L"explorerframe.dll"), nullptr);
        EXPECT_TRUE(kShellTaskbarList.make() != nullptr);
    }).join();
}
