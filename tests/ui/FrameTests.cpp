#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "ui/Drawing.h"
#include "ui/MainScreen.h"
#include "ui/Particles.h"

namespace {

constexpr uint32_t kTrack = 0x282828;
constexpr uint32_t kBar = 0x00B478;
constexpr uint32_t kWhite = 0xFFFFFF;

class MainScreenFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMainScreenState();
        if (!launcherState.backgroundImage) launcherState.backgroundImage = loadTestBackground();
        ASSERT_NE(launcherState.backgroundImage, nullptr) << "background picture not readable";
        releaseMainScreenCaches();
    }
};

std::string hex(uint32_t colour) {
    char text[16];
    snprintf(text, sizeof(text), "%06X", static_cast<unsigned>(colour));
    return text;
}

}  // namespace

TEST(FontFallbackTest, TakesTheFirstInstalledCandidateInOrder) {
    const std::vector<std::wstring> candidates{L"Segoe UI", L"MS Shell Dlg", L"", L"Tahoma",
                                               L"Arial"};
    struct Case {
        std::vector<std::wstring> installed;
        std::wstring expected;
    };
    const Case cases[] = {
        {{L"Segoe UI", L"Tahoma"}, L"Segoe UI"},
        {{L"Tahoma", L"Arial"}, L"Tahoma"},
        {{L"Arial"}, L"Arial"},
        {{L""}, L""},  // an empty candidate is never asked about
        {{}, L""},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> asked;
        const auto installed = [&](const std::wstring& name) {
            asked.push_back(name);
            for (const std::wstring& have : c.installed) {
                if (have == name) return true;
            }
            return false;
        };
        EXPECT_EQ(firstInstalledFamily(candidates, installed), c.expected);
        for (const std::wstring& name : asked) EXPECT_FALSE(name.empty());
    }
}

TEST_F(MainScreenFrameTest, LabelsAreDrawnEvenWithoutSegoeUi) {
    EXPECT_FALSE(textFontFamilyName().empty());
    const Frame frame = renderShipped();
    struct Button {
        const char* name;
        RECT rect;
    };
    const Button buttons[] = {{"NEWS", newsButtonRect},
                              {"RANKING", rankingButtonRect},
                              {"SETTINGS", settingsButtonRect},
                              {"START GAME", startButtonRect},
                              {"X", closeButtonRect}};
    for (const Button& b : buttons) {
        const int middle = (b.rect.top + b.rect.bottom) / 2;
        const int whiteTop = frame.count(b.rect.left, b.rect.top, b.rect.right, middle, kWhite);
        const int whiteBottom =
            frame.count(b.rect.left, middle + 4, b.rect.right, b.rect.bottom, kWhite);
        EXPECT_GE(whiteTop, 8) << b.name << ": no white label in the top half";
        EXPECT_EQ(whiteBottom, 0) << b.name << ": the label sits at the top, not the middle";
    }
}

TEST_F(MainScreenFrameTest, ProgressBarEndsAtSevenPixelsPerPercent) {
    for (int percent : {0, 1, 50, 100}) {
        launcherState.progressPercent = percent;
        const Frame frame = renderShipped();
        const int end = 100 + 7 * percent;  // first column past the bar
        SCOPED_TRACE("progress " + std::to_string(percent));
        if (percent > 0) {
            EXPECT_EQ(hex(frame.at(end - 1, 510)), hex(kBar));
            EXPECT_EQ(hex(frame.at(100, 510)), hex(kBar));
        }
        if (end < 795) {
            EXPECT_EQ(hex(frame.at(std::max(end, 110) + 1, 510)), hex(kTrack));
            EXPECT_EQ(hex(frame.at(790, 510)), hex(kTrack));
        }
        if (percent == 0) {
            // Only the corner arcs are left: a small mark at the left end.
            EXPECT_EQ(frame.count(111, 500, 800, 520, kBar), 0);
        }
        if (percent == 100) EXPECT_EQ(frame.count(100, 505, 800, 515, kTrack), 0);
    }
}

TEST_F(MainScreenFrameTest, ButtonsChangeOnlyTheirFillUnderThePointer) {
    struct Button {
        const char* name;
        bool LauncherState::*hover;
        int sampleX, sampleY;  // inside the fill, away from the label
        uint32_t colour, hoverColour;
    };
    const Button buttons[] = {
        {"NEWS", &LauncherState::newsHover, 90, 322, 0x282828, 0x505050},
        {"RANKING", &LauncherState::rankingHover, 250, 382, 0x282828, 0x505050},
        {"SETTINGS", &LauncherState::settingsHover, 90, 442, 0x282828, 0x505050},
        {"START GAME", &LauncherState::startHover, 632, 450, 0x00B478, 0x00DC96},
        {"X", &LauncherState::closeHover, 887, 25, 0x961E1E, 0xDC3C3C},
    };
    for (const Button& b : buttons) {
        SCOPED_TRACE(b.name);
        launcherState.*b.hover = false;
        EXPECT_EQ(hex(renderShipped().at(b.sampleX, b.sampleY)), hex(b.colour));
        launcherState.*b.hover = true;
        const Frame hovered = renderShipped();
        EXPECT_EQ(hex(hovered.at(b.sampleX, b.sampleY)), hex(b.hoverColour));
        // Every other button keeps its resting colour.
        for (const Button& other : buttons) {
            if (&other == &b) continue;
            EXPECT_EQ(hex(hovered.at(other.sampleX, other.sampleY)), hex(other.colour))
                << other.name;
        }
        launcherState.*b.hover = false;
    }
}

TEST_F(MainScreenFrameTest, StatusLineAppearsOnlyWithText) {
    const Frame empty = renderShipped();
    launcherState.statusDetail.set(L"Downloading: data/client.pak");
    const Frame withText = renderShipped();
    EXPECT_GT(withText.count(100, 475, 800, 500, kWhite), 20);
    EXPECT_EQ(empty.count(100, 475, 800, 500, kWhite), 0);
    // Nothing but the status line's band changes.
    int changedOutside = 0;
    for (int y = 0; y < kFrameHeight; ++y) {
        for (int x = 0; x < kFrameWidth; ++x) {
            const bool inBand = x >= 100 && x < 802 && y >= 475 && y < 502;
            if (!inBand && empty.at(x, y) != withText.at(x, y)) ++changedOutside;
        }
    }
    EXPECT_EQ(changedOutside, 0);
}

TEST_F(MainScreenFrameTest, DotsAreOrangeAndLieUnderTheButtons) {
    const Frame bare = renderShipped();
    Particle open;  // over the bare background
    open.x = 400.0f;
    open.y = 320.0f;
    open.size = 5.0f;
    open.alpha = 255;
    Particle hidden = open;  // inside the NEWS button
    hidden.x = 150.0f;
    hidden.y = 310.0f;
    launcherState.particles = {open, hidden};
    const Frame frame = renderShipped();
    EXPECT_EQ(hex(frame.at(402, 322)), hex(0xFF8C00));
    EXPECT_EQ(hex(frame.at(152, 312)), hex(0x282828));
    EXPECT_EQ(frame.at(152, 312), bare.at(152, 312));
}

// The kept picture, fonts and brushes must not change a single pixel: each
// state is drawn both ways, one after another with the same kept pieces.
TEST_F(MainScreenFrameTest, KeptPiecesDrawTheSamePixelsAsThePlainPass) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"start-up", [] {}},
        {"dots", [] {
             for (int i = 0; i < 40; ++i) {
                 Particle p;
                 p.x = static_cast<float>(i * 23 % 900);
                 p.y = 300.0f + static_cast<float>(i) * 5.37f;
                 p.speed = 0.5f;
                 p.size = static_cast<float>(2 + i % 4);
                 p.alpha = 150 + i * 2;
                 launcherState.particles.push_back(p);
             }
         }},
        {"overlapping dots", [] {
             // Overlaps where the order of drawing shows, dots of one colour
             // among them, and lone dots sharing a colour far apart.
             const float spots[][3] = {{400.0f, 320.0f, 150}, {402.0f, 321.5f, 249},
                                       {401.0f, 322.25f, 150}, {600.0f, 340.0f, 150},
                                       {30.0f, 360.0f, 249},   {32.5f, 361.0f, 200},
                                       {700.0f, 330.0f, 249},  {500.0f, 480.0f, 150}};
             for (const auto& spot : spots) {
                 Particle p;
                 p.x = spot[0];
                 p.y = spot[1];
                 p.size = 5.0f;
                 p.alpha = static_cast<int32_t>(spot[2]);
                 launcherState.particles.push_back(p);
             }
         }},
        {"news hover", [] { launcherState.newsHover = true; }},
        {"ranking hover", [] { launcherState.rankingHover = true; }},
        {"settings hover", [] { launcherState.settingsHover = true; }},
        {"start hover", [] { launcherState.startHover = true; }},
        {"close hover", [] { launcherState.closeHover = true; }},
        {"progress 0", [] { launcherState.progressPercent = 0; }},
        {"progress 37", [] { launcherState.progressPercent = 37; }},
        {"progress 100", [] { launcherState.progressPercent = 100; }},
        {"status text", [] {
             launcherState.progressPercent = 37;
             launcherState.statusDetail.set(L"Downloading: data/textures/terrain.pak");
         }},
        {"outcome", [] {
             launcherState.updateFinished = true;
             launcherState.updateSucceeded = true;
             launcherState.statusDetail.set(L"All files are up to date!");
         }},
        {"settings open", [] { launcherState.settingsOpen = true; }},
        {"settings list open", [] {
             launcherState.settingsOpen = true;
             launcherState.resolutionListOpen = true;
             launcherState.hoveredResolutionRow = 2;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetMainScreenState();
        c.arrange();
        const Frame plain = renderPlain();
        const Frame shipped = renderShipped();
        int differing = 0;
        for (size_t i = 0; i < plain.pixels.size(); ++i) differing += plain.pixels[i] != shipped.pixels[i];
        EXPECT_EQ(differing, 0);
    }
}

// Dots anywhere in their band, over and beside every control, frame after
// frame: the kept layers must still give the plain pass's pixels, including
// after the state changes under them.
TEST_F(MainScreenFrameTest, KeptLayersMatchThePlainPassWithDotsEverywhere) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> states = {
        {"status and bar", [] {
             launcherState.progressPercent = 37;
             launcherState.statusDetail.set(L"Downloading: data/textures/terrain.pak");
         }},
        {"hovers", [] {
             launcherState.startHover = true;
             launcherState.newsHover = true;
             launcherState.progressPercent = 1;
         }},
        {"full bar", [] {
             launcherState.progressPercent = 100;
             launcherState.statusDetail.set(L"Error: Check your connection.");
         }},
    };
    for (unsigned seed : {3u, 11u}) {
        resetMainScreenState();
        spawnParticlesSeeded(seed);
        // Besides the random ones: dots on the edges of the buttons, the
        // bar's end and the status text.
        const float edges[][2] = {{78.0f, 300.0f}, {258.0f, 328.0f}, {618.0f, 455.0f},
                                  {855.0f, 388.0f}, {355.0f, 498.0f}, {120.0f, 478.0f},
                                  {797.0f, 517.0f}, {98.0f, 505.0f}};
        for (const auto& e : edges) {
            Particle p;
            p.x = e[0];
            p.y = e[1] + 0.37f;
            p.size = 5.0f;
            p.alpha = 249;
            launcherState.particles.push_back(p);
        }
        for (int round = 0; round < 6; ++round) {
            const Case& state = states[static_cast<size_t>(round) % states.size()];
            SCOPED_TRACE(std::string(state.name) + ", seed " + std::to_string(seed) +
                         ", round " + std::to_string(round));
            launcherState.progressPercent = 0;
            launcherState.statusDetail.set(L"");
            launcherState.newsHover = launcherState.startHover = false;
            state.arrange();
            for (int tick = 0; tick < 37; ++tick) stepParticles(launcherState.particles);
            const Frame plain = renderPlain();
            const Frame shipped = renderShipped();
            int differing = 0;
            for (size_t i = 0; i < plain.pixels.size(); ++i) {
                differing += plain.pixels[i] != shipped.pixels[i];
            }
            EXPECT_EQ(differing, 0);
        }
    }
}

TEST_F(MainScreenFrameTest, AMissingPictureLeavesABlackBackgroundBothWays) {
    Gdiplus::Image* picture = launcherState.backgroundImage;
    launcherState.backgroundImage = nullptr;
    const Frame plain = renderPlain();
    const Frame shipped = renderShipped();
    launcherState.backgroundImage = picture;
    EXPECT_EQ(hex(shipped.at(450, 100)), hex(0x000000));
    EXPECT_TRUE(plain.pixels == shipped.pixels);
}
