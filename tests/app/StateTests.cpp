#include <gtest/gtest.h>

#include <thread>

#include "core/LauncherState.h"

TEST(LauncherStateTest, SharedTextHandsWholeStringsBetweenThreads) {
    SharedText text;
    std::atomic<bool> stop{false};
    const std::wstring a(200, L'a'), b(3, L'b');
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) text.set(i % 2 ? a : b);
        stop = true;
    });
    int torn = 0;
    while (!stop) {
        const std::wstring seen = text.get();
        torn += !seen.empty() && seen != a && seen != b;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}
