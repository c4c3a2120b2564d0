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

// The first installed of: "Segoe UI", the message font, the face GDI picks
// for it, the generic sans-serif family. Each is worked out only when the
// ones before it are missing: the later ones take long the first time (the
// generic family walks every installed font), and the first frame waits.
std::wstring findTextFontFamily() {
    const wchar_t* const preferred = L"Segoe UI";
    if (gdiplusHasFamily(preferred)) return preferred;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        if (gdiplusHasFamily(metrics.lfMessageFont.lfFaceName)) return metrics.lfMessageFont.lfFaceName;
        std::wstring picked = faceGdiPicks(metrics.lfMessageFont);
        if (gdiplusHasFamily(picked)) return picked;
    }
    // GDI+ answers null here when it knows no sans-serif family at all.
    if (const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif()) {
        wchar_t name[LF_FACESIZE] = {};
        if (generic->GetLastStatus() == Gdiplus::Ok &&
            generic->GetFamilyName(name) == Gdiplus::Ok && gdiplusHasFamily(name)) {
            return name;
        }
    }
    return {};
}

}  // namespace

namespace {

void addRoundedRect(Gdiplus::GraphicsPath& path, int d, int x, int y, int width, int height) {
    path.AddArc(x, y, d, d, 180.0f, 90.0f);
    path.AddArc(x + width - d, y, d, d, 270.0f, 90.0f);
    path.AddArc(x + width - d, y + height - d, d, d, 0.0f, 90.0f);
    path.AddArc(x, y + height - d, d, d, 90.0f, 90.0f);
    path.CloseFigure();
}

}  // namespace

void fillRoundedRect(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush, int d, int x, int y,
                     int width, int height, Gdiplus::ARGB colour) {
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    addRoundedRect(path, d, x, y, width, height);
    brush.SetColor(Gdiplus::Color(colour));
    graphics.FillPath(&brush, &path);
}

void drawRoundedOutline(Gdiplus::Graphics& graphics, const Gdiplus::Pen& pen, int d,
                        const RECT& rect) {
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    addRoundedRect(path, d, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    graphics.DrawPath(&pen, &path);
}

void fillRoundedRect(Gdiplus::Graphics& graphics, int d, int x, int y, int width, int height,
                     Gdiplus::ARGB colour) {
    Gdiplus::SolidBrush brush{Gdiplus::Color(colour)};
    fillRoundedRect(graphics, brush, d, x, y, width, height, colour);
}

void fillRoundedRect(Gdiplus::Graphics& graphics, int d, const RECT& rect, Gdiplus::ARGB colour) {
    fillRoundedRect(graphics, d, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                    colour);
}

Gdiplus::RectF textBox(const RECT& rect) {
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rect.left), static_cast<Gdiplus::REAL>(rect.top),
                          static_cast<Gdiplus::REAL>(rect.right - rect.left),
                          static_cast<Gdiplus::REAL>(rect.bottom - rect.top));
}

Gdiplus::RectF textBox(const Scale& scale, const RECT& design) {
    return textBox(scale.rect(design));
}

const std::wstring& textFontFamilyName() {
    static const std::wstring name = findTextFontFamily();
    return name;
}

PaintResourceSet::PaintResourceSet(const Scale& scale)
    : family_(std::make_unique<Gdiplus::FontFamily>(textFontFamilyName().c_str())),
      buttonFont_(std::make_unique<Gdiplus::Font>(family_.get(), scale.size(18.0f),
                                                  Gdiplus::FontStyleBold, Gdiplus::UnitPixel)),
      smallFont_(std::make_unique<Gdiplus::Font>(family_.get(), scale.size(15.0f),
                                                 Gdiplus::FontStyleBold, Gdiplus::UnitPixel)),
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
