// An off-screen GDI bitmap with its memory DC, kept as one owner.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "core/Handles.h"

class OffscreenBitmap {
public:
    // Compatible with `reference` (the screen when null), as the paint pass makes it.
    OffscreenBitmap(HDC reference, int width, int height);
    ~OffscreenBitmap();
    OffscreenBitmap(const OffscreenBitmap&) = delete;
    OffscreenBitmap& operator=(const OffscreenBitmap&) = delete;

    HDC dc() const { return dc_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }
    bool valid() const { return dc_ && bitmap_; }
    // The pixels as 0x00RRGGBB, top row first; the unused byte is cleared.
    std::vector<uint32_t> pixels() const;
    // Replaces the pixels with `pixels` (same layout as pixels()).
    void setPixels(const std::vector<uint32_t>& pixels);

private:
    // Declared before the DC so that the DC goes first and the bitmap is no
    // longer selected anywhere when it is deleted.
    UniqueBitmap bitmap_;
    UniqueDC dc_;
    HGDIOBJ previous_ = nullptr;
    int width_;
    int height_;
};

// Copies `rows` (width x height pixels, 4 bytes each as in a 32-bit DIB, top
// row first) onto `target` at its origin.
void drawPixelRows(HDC target, int width, int height, const void* rows);

// A 32-bit top-down DIB section with its memory DC: GDI copies into and out
// of it, and its pixels (0xAARRGGBB) are plain memory in between (after
// GdiFlush).
class DibSection {
public:
    DibSection(int width, int height);
    ~DibSection();
    DibSection(const DibSection&) = delete;
    DibSection& operator=(const DibSection&) = delete;

    HDC dc() const { return dc_.get(); }
    bool valid() const { return dc_ && bitmap_ && bits_; }
    uint32_t* row(int y) const {
        return bits_ + static_cast<size_t>(y) * static_cast<size_t>(width_);
    }

private:
    UniqueBitmap bitmap_;
    UniqueDC dc_;
    HGDIOBJ previous_ = nullptr;
    uint32_t* bits_ = nullptr;
    int width_;
};
