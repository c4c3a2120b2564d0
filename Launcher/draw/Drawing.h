// Drawing pieces shared by the main screen and the settings panel.
#pragma once

#include <memory>
#include <string>

#include "core/Gdiplus.h"
#include "core/Scale.h"

// The fonts, formats and brushes that every frame draws its texts with.
struct PaintResources {
    Gdiplus::Font* buttonFont = nullptr;             // bold, 18 design px
    Gdiplus::Font* smallFont = nullptr;              // bold, 15 design px
    Gdiplus::StringFormat* centredFormat = nullptr;  // centred, top-aligned
    Gdiplus::Brush* whiteBrush = nullptr;            // 0xFFFFFFFF
    Gdiplus::Brush* accentBrush = nullptr;           // 0xFFFF8C00
};

// Fills a rectangle whose corners are quarter ellipses of diameter d.
void fillRoundedRect(Gdiplus::Graphics& graphics, int d, int x, int y, int width, int height,
                     Gdiplus::ARGB colour);
// The same shape filled with a brush the caller keeps (its colour is set here).
void fillRoundedRect(Gdiplus::Graphics& graphics, Gdiplus::SolidBrush& brush, int d, int x, int y,
                     int width, int height, Gdiplus::ARGB colour);
// The same over a layout rectangle.
void fillRoundedRect(Gdiplus::Graphics& graphics, int d, const RECT& rect, Gdiplus::ARGB colour);

// The outline of the same shape, drawn with `pen` along the rectangle's edge.
void drawRoundedOutline(Gdiplus::Graphics& graphics, const Gdiplus::Pen& pen, int d,
                        const RECT& rect);

// A layout rectangle as the box GDI+ lays text out in.
Gdiplus::RectF textBox(const RECT& rect);
// A design rectangle's box at `scale`.
Gdiplus::RectF textBox(const Scale& scale, const RECT& design);

// The family the launcher writes with: "Segoe UI", else the system's message
// font, else the generic sans-serif family. Looked up once; GDI+ must run.
const std::wstring& textFontFamilyName();

// Owns one set of PaintResources for one scale, made in the order fonts,
// format, brushes.
class PaintResourceSet {
public:
    explicit PaintResourceSet(const Scale& scale);
    ~PaintResourceSet();
    PaintResourceSet(const PaintResourceSet&) = delete;
    PaintResourceSet& operator=(const PaintResourceSet&) = delete;

    const PaintResources& get() const { return view_; }

private:
    std::unique_ptr<Gdiplus::FontFamily> family_;
    std::unique_ptr<Gdiplus::Font> buttonFont_;
    std::unique_ptr<Gdiplus::Font> smallFont_;
    std::unique_ptr<Gdiplus::StringFormat> centredFormat_;
    std::unique_ptr<Gdiplus::SolidBrush> whiteBrush_;
    std::unique_ptr<Gdiplus::SolidBrush> accentBrush_;
    PaintResources view_;
};
