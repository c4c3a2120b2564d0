#include "UiTestSupport.h"

#include <string>

#include "ui/MainScreen.h"
#include "ui/Offscreen.h"

namespace {
ULONG_PTR gdiplusToken = 0;

Frame render(void (*draw)(Gdiplus::Graphics&)) {
    OffscreenBitmap bitmap(nullptr, kFrameWidth, kFrameHeight);
    {
        Gdiplus::Graphics graphics(bitmap.dc());
        draw(graphics);
    }
    return Frame{bitmap.pixels()};
}
}  // namespace

void GdiplusEnvironment::SetUp() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);
}

void GdiplusEnvironment::TearDown() {
    releaseMainScreenCaches();
    delete launcherState.backgroundImage;
    launcherState.backgroundImage = nullptr;
    Gdiplus::GdiplusShutdown(gdiplusToken);
}

static ::testing::Environment* const gdiplusEnvironment =
    ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

void resetMainScreenState() {
    LauncherState& state = launcherState;
    state.window = nullptr;
    state.particles.clear();
    state.progressPercent = 0;
    state.updateFinished = false;
    state.updateSucceeded = false;
    state.statusDetail.set(L"");
    state.newsHover = state.rankingHover = state.settingsHover = false;
    state.startHover = state.closeHover = false;
    state.settingsOpen = false;
    state.resolutionListOpen = false;
    state.hoveredResolutionRow = -1;
}

int Frame::count(int left, int top, int right, int bottom, uint32_t colour) const {
    int n = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) n += at(x, y) == colour ? 1 : 0;
    }
    return n;
}

Frame renderShipped() {
    return render(drawMainScreen);
}
Frame renderPlain() {
    return render(drawMainScreenPlain);
}

Gdiplus::Image* loadTestBackground() {
    // Wine shows the Unix file system as drive Z:.
    const std::string unixPath = UI_TEST_BACKGROUND_PNG;
    const std::wstring path = L"Z:" + std::wstring(unixPath.begin(), unixPath.end());
    auto* image = new Gdiplus::Image(path.c_str(), FALSE);
    if (image->GetLastStatus() != Gdiplus::Ok) {
        delete image;
        return nullptr;
    }
    return image;
}
