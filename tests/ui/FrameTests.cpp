#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "ui/Drawing.h"
#include "ui/MainScreen.h"
#include "ui/Offscreen.h"
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

namespace {

void addDot(float x, float y, int32_t alpha) {
    Particle p;
    p.x = x;
    p.y = y;
    p.size = 5.0f;
    p.alpha = alpha;
    launcherState.particles.push_back(p);
}

// Random dots plus dots on the edges of the buttons, the bar's end and the
// status text, overlapping ones (where the order of drawing shows) and lone
// ones sharing a colour.
void addDotsEverywhere(unsigned seed) {
    spawnParticlesSeeded(seed);
    const float spots[][3] = {{78, 300.37f, 249},  {258, 328.37f, 249}, {618, 455.37f, 249},
                              {855, 388.37f, 249}, {355, 498.37f, 249}, {120, 478.37f, 249},
                              {797, 517.37f, 249}, {98, 505.37f, 249},  {400, 320, 150},
                              {402, 321.5f, 249},  {401, 322.25f, 150}, {30, 360, 249},
                              {32.5f, 361, 200},   {600, 340, 150}};
    for (const auto& spot : spots) addDot(spot[0], spot[1], static_cast<int32_t>(spot[2]));
}

}  // namespace

// Keeping the picture, the fonts and the controls' layer must not change a
// single pixel: every state is drawn the plain way and the shipped way, one
// state after another with the same kept pieces, without and with dots, and
// the dots move between frames.
TEST_F(MainScreenFrameTest, KeptLayersDrawThePlainPassPixels) {
    Gdiplus::Image* const picture = launcherState.backgroundImage;
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"start-up", [] {}},
        {"news hover", [] { launcherState.newsHover = true; }},
        {"ranking hover", [] { launcherState.rankingHover = true; }},
        {"settings hover", [] { launcherState.settingsHover = true; }},
        {"start hover", [] { launcherState.startHover = true; }},
        {"close hover", [] { launcherState.closeHover = true; }},
        {"progress 1", [] { launcherState.progressPercent = 1; }},
        {"progress 37 with status",
         [] {
             launcherState.progressPercent = 37;
             launcherState.statusDetail.set(L"Downloading: data/textures/terrain.pak");
         }},
        {"progress 100 with outcome",
         [] {
             launcherState.progressPercent = 100;
             launcherState.updateFinished = launcherState.updateSucceeded = true;
             launcherState.statusDetail.set(L"All files are up to date!");
         }},
        {"settings open", [] { launcherState.settingsOpen = true; }},
        {"settings list open",
         [] {
             launcherState.settingsOpen = true;
             launcherState.resolutionListOpen = true;
             launcherState.hoveredResolutionRow = 2;
         }},
        {"no picture",
         [] {
             launcherState.backgroundImage = nullptr;
             launcherState.statusDetail.set(L"Error: Check your connection.");
         }},
    };
    for (bool dots : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (dots ? ", dots" : ""));
            resetMainScreenState();
            launcherState.backgroundImage = picture;
            c.arrange();
            if (dots) addDotsEverywhere(static_cast<unsigned>(c.name[0]));
            for (int tick = 0; tick < 3; ++tick) {
                const Frame plain = renderPlain();
                const Frame shipped = renderShipped();
                int differing = 0;
                for (size_t i = 0; i < plain.pixels.size(); ++i) {
                    differing += plain.pixels[i] != shipped.pixels[i];
                }
                EXPECT_EQ(differing, 0) << "frame " << tick;
                stepParticles(launcherState.particles);
            }
        }
    }
    launcherState.backgroundImage = picture;
}

// The window's buffer is repaired frame to frame rather than redrawn whole;
// what reaches the window must still be the plain frame, through state
// changes, the settings panel and frames drawn elsewhere in between.
TEST_F(MainScreenFrameTest, TheWindowShowsThePlainFrameFrameAfterFrame) {
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, kFrameWidth, kFrameHeight,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    addDotsEverywhere(5);
    launcherState.statusDetail.set(L"Downloading: data/client.pak");
    const std::vector<std::function<void()>> between = {
        [] {},
        [] {},
        [] { launcherState.rankingHover = true; },
        [] {  // dots jump as on a respawn, one of them under a button
            launcherState.particles[0].x = 450.0f;
            launcherState.particles[0].y = 500.0f;
            launcherState.particles[1].x = 150.0f;
            launcherState.particles[1].y = 310.0f;
        },
        [] {  // a jump, then a frame drawn into another bitmap
            launcherState.particles[2].x = 700.0f;
            launcherState.particles[2].y = 500.0f;
            renderShipped();
        },
        [] {},
        [] { launcherState.settingsOpen = true; },
        [] { launcherState.settingsOpen = false; },
        [] { launcherState.progressPercent = 64; },
        [] {},
    };
    OffscreenBitmap shown(nullptr, kFrameWidth, kFrameHeight);
    for (size_t frame = 0; frame < between.size(); ++frame) {
        between[frame]();
        InvalidateRect(window, nullptr, FALSE);
        paintWindow(window);
        HDC windowDc = GetDC(window);
        BitBlt(shown.dc(), 0, 0, kFrameWidth, kFrameHeight, windowDc, 0, 0, SRCCOPY);
        ReleaseDC(window, windowDc);
        const std::vector<uint32_t> plain = renderPlain().pixels;
        const std::vector<uint32_t> onScreen = shown.pixels();
        int differing = 0;
        for (size_t i = 0; i < plain.size(); ++i) differing += plain[i] != onScreen[i];
        EXPECT_EQ(differing, 0) << "frame " << frame;
        stepParticles(launcherState.particles);
    }
    DestroyWindow(window);
}
