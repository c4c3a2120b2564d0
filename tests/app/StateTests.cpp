#include <gtest/gtest.h>

#include <thread>

#include "core/LauncherState.h"

TEST(LauncherStateTest, StartsWithTheDocumentedValues) {
    LauncherState state;
    EXPECT_EQ(state.window.load(), nullptr);
    EXPECT_EQ(state.gdiplusToken, 0u);
    EXPECT_EQ(state.backgroundImage, nullptr);
    EXPECT_TRUE(state.particles.empty());

    EXPECT_EQ(state.progressPercent.load(), 0);
    EXPECT_FALSE(state.updateFinished.load());
    EXPECT_FALSE(state.updateSucceeded.load());
    EXPECT_TRUE(state.statusDetail.empty());
    EXPECT_EQ(state.statusDetail.get(), L"");
    EXPECT_EQ(state.titleLine.get(), L"Checking for updates...");

    EXPECT_FALSE(state.newsHover);
    EXPECT_FALSE(state.rankingHover);
    EXPECT_FALSE(state.settingsHover);
    EXPECT_FALSE(state.startHover);
    EXPECT_FALSE(state.closeHover);

    EXPECT_FALSE(state.settingsOpen);
    EXPECT_FALSE(state.resolutionListOpen);
    EXPECT_EQ(state.hoveredResolutionRow, -1);

    EXPECT_TRUE(state.windowMode);
    EXPECT_TRUE(state.soundOn);
    EXPECT_TRUE(state.musicOn);
    EXPECT_EQ(state.volumeLevel, 5);
    EXPECT_EQ(state.resolutionIndex, 5);
}

TEST(LauncherStateTest, ResolutionLabelsAreTheNineInOrder) {
    LauncherState state;
    const std::vector<std::wstring> expected = {
        L"640x480",  L"800x600",  L"1024x768",  L"1280x1024", L"1360x768",
        L"1440x900", L"1600x900", L"1680x1050", L"1920x1080",
    };
    EXPECT_EQ(state.resolutionNames, expected);
    EXPECT_EQ(state.resolutionNames[static_cast<size_t>(state.resolutionIndex)], L"1440x900");
}

TEST(LauncherStateTest, SharedTextHandsWholeStringsBetweenThreads) {
    SharedText text;
    std::atomic<bool> stop{false};
    const std::wstring a(200, L'a');
    const std::wstring b(3, L'b');
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) text.set(i % 2 ? a : b);
        stop = true;
    });
    int torn = 0;
    while (!stop) {
        const std::wstring seen = text.get();
        if (!seen.empty() && seen != a && seen != b) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(text.get(), a);
}
