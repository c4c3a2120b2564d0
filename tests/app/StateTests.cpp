#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/LauncherState.h"

// The worker replaces the status text while the window thread reads it:
// every read is one whole text, never parts of two.
TEST(LauncherStateTest, SharedTextHandsWholeStringsBetweenThreads) {
    SharedText text;
    std::atomic<bool> stop{false};
    const std::wstring a(1000, L'a'), b(1000, L'b');
    std::thread writer([&] {
        for (int i = 0; i < 100000 && !stop; ++i) text.set(i % 2 ? a : b);
        stop = true;
    });
    int torn = 0, reads = 0;
    for (; !stop; ++reads) {
        const std::wstring seen = text.get();
        if (!seen.empty() && seen != a && seen != b) stop = ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << reads << " reads";
}
