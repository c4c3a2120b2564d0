#include "game/SettingsPanel.h"

#include <cstdint>

#include "core/LauncherState.h"
#include "draw/Geometry.h"
#include "game/GameSettings.h"

namespace {

constexpr Gdiplus::ARGB kDimColour = 0xD2000000;
constexpr Gdiplus::ARGB kPanelColour = 0xFF191919;
constexpr Gdiplus::ARGB kControlColour = 0xFF323232;
constexpr Gdiplus::ARGB kVolumeFillColour = 0xFF00B478;
constexpr Gdiplus::ARGB kSaveButtonColour = 0xFF009664;
constexpr Gdiplus::ARGB kListColour = 0xFF2D2D2D;
constexpr Gdiplus::ARGB kListOutlineColour = 0xFF646464;
constexpr Gdiplus::ARGB kHoveredRowColour = 0x64FFFFFF;
constexpr Gdiplus::ARGB kSelectedRowColour = 0x960078D7;
constexpr Gdiplus::ARGB kCheckBoxColour = 0xFF0A141E;
constexpr Gdiplus::ARGB kCheckOutlineColour = 0xFF0078D7;
constexpr Gdiplus::ARGB kCheckMarkColour = 0xFF00BEFF;

// The values as the panel showed them when it opened: Esc puts them back.
struct ShownValues {
    bool windowMode, soundOn, musicOn;
    int32_t volumeLevel, resolutionIndex;
};
ShownValues valuesAtOpening{};

int resolutionCount() {
    return static_cast<int>(launcherState.resolutionNames.size());
}

// The panel is laid out in design units; these draw it at the window's scale.
const Scale& scale() {
    return launcherState.scale;
}

Gdiplus::RectF layout(int x, int y, int width, int height) {
    return textBox(scale(), RECT{x, y, x + width, y + height});
}

void fillScaledRect(Gdiplus::Graphics& graphics, Gdiplus::Brush& brush, const RECT& design) {
    const RECT r = scale().rect(design);
    graphics.FillRectangle(&brush, r.left, r.top, rectWidth(r), rectHeight(r));
}

// A one-pixel outline stays whole pixels wide, so its edges stay sharp.
void outlineScaledRect(Gdiplus::Graphics& graphics, Gdiplus::ARGB colour, const RECT& design) {
    Gdiplus::Pen pen(colour, static_cast<Gdiplus::REAL>(scale().px(1)));
    const RECT r = scale().rect(design);
    graphics.DrawRectangle(&pen, r.left, r.top, rectWidth(r), rectHeight(r));
}

void fillScaledRoundedRect(Gdiplus::Graphics& graphics, int d, const RECT& design,
                           Gdiplus::ARGB colour) {
    fillRoundedRect(graphics, scale().px(d), scale().rect(design), colour);
}

void drawText(Gdiplus::Graphics& graphics, const wchar_t* text, const Gdiplus::Font* font,
              const Gdiplus::RectF& rect, const Gdiplus::StringFormat* format,
              const Gdiplus::Brush* brush) {
    if (!font || !brush) return;
    graphics.DrawString(text, -1, font, rect, format, brush);
}

RECT resolutionRowRect(int i) {
    return RECT{resolutionBoxRect.left, resolutionBoxRect.top + kResolutionRowHeight * i,
                resolutionBoxRect.right, resolutionBoxRect.top + kResolutionRowHeight * (i + 1)};
}

// Drawn last so that it covers the box itself and the volume slider; the
// rows start at the box's top, not below it.
void drawResolutionList(Gdiplus::Graphics& graphics, const PaintResources& resources,
                        const Gdiplus::StringFormat& centredMiddleFormat) {
    const LauncherState& s = launcherState;
    const int count = resolutionCount();
    RECT list = resolutionBoxRect;
    list.bottom = list.top + kResolutionRowHeight * count;

    Gdiplus::SolidBrush background(kListColour);
    fillScaledRect(graphics, background, list);
    outlineScaledRect(graphics, kListOutlineColour, list);

    Gdiplus::SolidBrush hovered(kHoveredRowColour);
    Gdiplus::SolidBrush selected(kSelectedRowColour);
    for (int i = 0; i < count; ++i) {
        const RECT row = resolutionRowRect(i);
        if (i == s.hoveredResolutionRow) fillScaledRect(graphics, hovered, row);
        // The selection goes over the hover fill when both mark one row.
        if (i == s.resolutionIndex) fillScaledRect(graphics, selected, row);
        drawText(graphics, s.resolutionNames[static_cast<size_t>(i)].c_str(), resources.smallFont,
                 textBox(scale(), row), &centredMiddleFormat, resources.whiteBrush);
    }
}

}  // namespace

int32_t resolutionRowAt(int x, int y) {
    for (int i = 0; i < resolutionCount(); ++i) {
        if (pointInRect(resolutionRowRect(i), x, y)) return i;
    }
    return -1;
}

// Over the track's 200 columns this gives 0 to 8: the last column is 199,
// so 9 (a full track) can only come from the registry.
int32_t volumeLevelAt(int x) {
    return (x - volumeTrackRect.left) * 9 / kVolumeTrackWidth;
}

// Computed in 64 bits so that any stored level is safe, then clamped to the
// track: a stored level outside 0..9 is shown in the label as it is but must
// not paint past the track or backwards from it.
int volumeFillWidth(int32_t level) {
    const int64_t width = static_cast<int64_t>(level) * kVolumeTrackWidth / 9;
    if (width < 0) return 0;
    if (width > kVolumeTrackWidth) return kVolumeTrackWidth;
    return static_cast<int>(width);
}

// A stored resolution outside the list is kept (a save writes it back), but
// the list is never read outside its entries.
const std::wstring* resolutionLabel(int32_t index) {
    if (index < 0 || index >= resolutionCount()) return nullptr;
    return &launcherState.resolutionNames[static_cast<size_t>(index)];
}

void drawCheckBox(Gdiplus::Graphics& graphics, const PaintResources& resources, int x, int y,
                  bool checked, const wchar_t* label) {
    const RECT box{x, y, x + 18, y + 18};
    Gdiplus::SolidBrush fill(kCheckBoxColour);
    fillScaledRect(graphics, fill, box);
    outlineScaledRect(graphics, kCheckOutlineColour, box);
    if (checked) {
        const Scale& z = scale();
        Gdiplus::Pen mark(kCheckMarkColour, z.size(2.2f));
        graphics.DrawLine(&mark, z.px(x + 4), z.px(y + 9), z.px(x + 8), z.px(y + 13));
        graphics.DrawLine(&mark, z.px(x + 8), z.px(y + 13), z.px(x + 14), z.px(y + 4));
    }
    drawText(graphics, label, resources.smallFont, layout(x + 28, y - 2, 150, 25), nullptr,
             resources.whiteBrush);
}

void drawSettingsPanel(Gdiplus::Graphics& graphics, const PaintResources& resources) {
    const LauncherState& s = launcherState;

    Gdiplus::SolidBrush dim(kDimColour);
    fillScaledRect(graphics, dim, kWindowRect);
    fillScaledRoundedRect(graphics, 20, settingsPanelRect, kPanelColour);
    drawText(graphics, L"GAME CONFIGURATION", resources.buttonFont,
             layout(settingsPanelRect.left, 140, rectWidth(settingsPanelRect), 40),
             resources.centredFormat, resources.accentBrush);

    drawText(graphics, L"Resolution", resources.smallFont,
             layout(250, resolutionBoxRect.top + 5, 100, 25), nullptr, resources.whiteBrush);
    fillScaledRoundedRect(graphics, 5, resolutionBoxRect, kControlColour);

    Gdiplus::StringFormat centredMiddleFormat;
    centredMiddleFormat.SetAlignment(Gdiplus::StringAlignmentCenter);
    centredMiddleFormat.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    if (const std::wstring* label = resolutionLabel(s.resolutionIndex)) {
        drawText(graphics, label->c_str(), resources.smallFont, textBox(scale(), resolutionBoxRect),
                 &centredMiddleFormat, resources.accentBrush);
    }

    drawCheckBox(graphics, resources, windowModeBoxRect.left, windowModeBoxRect.top, s.windowMode,
                 L"Window Mode");
    drawCheckBox(graphics, resources, soundBoxRect.left, soundBoxRect.top, s.soundOn,
                 L"Sound Effects");
    drawCheckBox(graphics, resources, musicBoxRect.left, musicBoxRect.top, s.musicOn,
                 L"Background Music");

    wchar_t volumeText[32];  // room for "Volume: " and any 32-bit number
    wsprintfW(volumeText, L"Volume: %d", static_cast<int>(s.volumeLevel));
    drawText(graphics, volumeText, resources.smallFont,
             layout(250, volumeTrackRect.top - 5, 100, 25), nullptr, resources.whiteBrush);
    fillScaledRoundedRect(graphics, 5, volumeTrackRect, kControlColour);
    RECT volumeFill = volumeTrackRect;
    volumeFill.right = volumeFill.left + volumeFillWidth(s.volumeLevel);
    fillScaledRoundedRect(graphics, 5, volumeFill, kVolumeFillColour);

    fillScaledRoundedRect(graphics, 10, saveButtonRect, kSaveButtonColour);
    drawText(graphics, L"SAVE & ACCEPT", resources.buttonFont, textBox(scale(), saveButtonRect),
             resources.centredFormat, resources.whiteBrush);

    if (s.resolutionListOpen) drawResolutionList(graphics, resources, centredMiddleFormat);
}

void handleSettingsClick(int x, int y) {
    LauncherState& s = launcherState;
    // While the list is open a press only picks a row or closes it.
    if (s.resolutionListOpen) {
        const int32_t row = resolutionRowAt(x, y);
        if (row >= 0) s.resolutionIndex = row;
        s.resolutionListOpen = false;
        requestRepaint();
        return;
    }
    if (pointInRect(resolutionBoxRect, x, y)) {
        s.resolutionListOpen = true;
        requestRepaint();
        return;
    }
    if (pointInRect(windowModeBoxRect, x, y)) s.windowMode = !s.windowMode;
    if (pointInRect(soundBoxRect, x, y)) s.soundOn = !s.soundOn;
    if (pointInRect(musicBoxRect, x, y)) s.musicOn = !s.musicOn;
    if (pointInRect(volumeTrackRect, x, y)) s.volumeLevel = volumeLevelAt(x);
    // The panel closes even when the save fails; the edits stay in memory.
    if (pointInRect(saveButtonRect, x, y)) {
        saveGameSettings();
        s.settingsOpen = false;
    }
    requestRepaint();
}

void openSettingsPanel() {
    LauncherState& s = launcherState;
    valuesAtOpening = {s.windowMode, s.soundOn, s.musicOn, s.volumeLevel, s.resolutionIndex};
    s.settingsOpen = true;
    requestRepaint();
}

// Edits change the values at once; only SAVE & ACCEPT writes them, so
// putting them back is all a cancel needs.
void handleSettingsEscape() {
    LauncherState& s = launcherState;
    if (s.resolutionListOpen) {
        s.resolutionListOpen = false;
    } else {
        const ShownValues& v = valuesAtOpening;
        s.windowMode = v.windowMode;
        s.soundOn = v.soundOn;
        s.musicOn = v.musicOn;
        s.volumeLevel = v.volumeLevel;
        s.resolutionIndex = v.resolutionIndex;
        s.settingsOpen = false;
    }
    requestRepaint();
}

// Closing the list keeps the row, so a reopened list shows the last hovered
// row until the pointer moves.
void handleSettingsMouseMove(int x, int y) {
    LauncherState& s = launcherState;
    if (!s.resolutionListOpen) return;
    s.hoveredResolutionRow = resolutionRowAt(x, y);
}
