#include "draw/Drawing.h"

#include "core/Handles.h"

namespace {

bool gdiplusHasFamily(const std::wstring& name) {
    if (name.empty()) return false;
    Gdiplus::FontFamily family(name.c_str());
    return family.GetLastStatus() == Gdiplus::Ok && family.IsAvailable();
}

// "MS Shell Dlg" and its kind are aliases that GDI resolves and GDI+ does
// not, so the face GDI actually picks for the message font is tried too.
std::wstring faceGdiPicks(const LOGFONTW& font) {
    std::wstring face;
    const UniqueFont handle(CreateFontIndirectW(&font));
    const UniqueDC dc(CreateCompatibleDC(nullptr));
    if (handle && dc) {
        HGDIOBJ previous = SelectObject(dc.get(), handle.get());
        wchar_t name[LF_FACESIZE] = {};
        if (GetTextFaceW(dc.get(), LF_FACESIZE, name) > 0) face = name;
        SelectObject(dc.get(), previous);
    }
    return face;
}

std::vector<std::wstring> fontCandidates() {
    std::vector<std::wstring> names{L"Segoe UI"};
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        names.push_back(metrics.lfMessageFont.lfFaceName);
        names.push_back(faceGdiPicks(metrics.lfMessageFont));
    }
    // GDI+ answers null here when it knows no sans-serif family at all.
    if (const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif()) {
        wchar_t name[LF_FACESIZE] = {};
        if (generic->GetLastStatus() == Gdiplus::Ok &&
            generic->GetFamilyName(name) == Gdiplus::Ok) {
            names.push_back(name);
        }
    }
    return names;
}

}  // namespace

void fillRoundedRect(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush, int d, int x, int y,
                     int width, int height, Gdiplus::ARGB colour) {
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    path.AddArc(x, y, d, d, 180.0f, 90.0f);
    path.AddArc(x + width - d, y, d, d, 270.0f, 90.0f);
    path.AddArc(x + width - d, y + height - d, d, d, 0.0f, 90.0f);
    path.AddArc(x, y + height - d, d, d, 90.0f, 90.0f);
    path.CloseFigure();
    brush.SetColor(Gdiplus::Color(colour));
    graphics.FillPath(&brush, &path);
}

void fillRoundedRect(Gdiplus::Graphics& graphics, int d, int x, int y, int width, int height,
                     Gdiplus::ARGB colour) {
    Gdiplus::SolidBrush brush{Gdiplus::Color(colour)};
    fillRoundedRect(graphics, brush, d, x, y, width, height, colour);
}

std::wstring firstInstalledFamily(const std::vector<std::wstring>& candidates,
                                  const std::function<bool(const std::wstring&)>& installed) {
    for (const std::wstring& name : candidates) {
        if (!name.empty() && installed(name)) return name;
    }
    return {};
}

const std::wstring& textFontFamilyName() {
    static const std::wstring name = firstInstalledFamily(fontCandidates(), gdiplusHasFamily);
    return name;
}

PaintResourceSet::PaintResourceSet()
    : family_(std::make_unique<Gdiplus::FontFamily>(textFontFamilyName().c_str())),
      buttonFont_(std::make_unique<Gdiplus::Font>(family_.get(), 18.0f, Gdiplus::FontStyleBold,
                                                  Gdiplus::UnitPixel)),
      smallFont_(std::make_unique<Gdiplus::Font>(family_.get(), 15.0f, Gdiplus::FontStyleBold,
                                                 Gdiplus::UnitPixel)),
      centredFormat_(std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL)),
      whiteBrush_(std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFFFFFFFF))),
      accentBrush_(std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFFFF8C00))) {
    centredFormat_->SetAlignment(Gdiplus::StringAlignmentCenter);
    view_.buttonFont = buttonFont_.get();
    view_.smallFont = smallFont_.get();
    view_.centredFormat = centredFormat_.get();
    view_.whiteBrush = whiteBrush_.get();
    view_.accentBrush = accentBrush_.get();
}

// Out of line so the GDI+ types are complete where they are deleted.
PaintResourceSet::~PaintResourceSet() = default;
