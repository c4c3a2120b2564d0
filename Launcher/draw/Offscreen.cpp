#include "draw/Offscreen.h"

OffscreenBitmap::OffscreenBitmap(HDC reference, int width, int height)
    : width_(width), height_(height) {
    HDC screen = reference ? nullptr : GetDC(nullptr);
    HDC basis = reference ? reference : screen;
    dc_.reset(CreateCompatibleDC(basis));
    bitmap_.reset(CreateCompatibleBitmap(basis, width, height));
    if (screen) ReleaseDC(nullptr, screen);
    if (dc_ && bitmap_) previous_ = SelectObject(dc_.get(), bitmap_.get());
}

OffscreenBitmap::~OffscreenBitmap() {
    if (dc_ && previous_) SelectObject(dc_.get(), previous_);
}

namespace {
BITMAPINFO topDown32(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}
}  // namespace

std::vector<uint32_t> OffscreenBitmap::pixels() const {
    std::vector<uint32_t> result(static_cast<size_t>(width_) * static_cast<size_t>(height_));
    if (!valid() || result.empty()) return result;
    BITMAPINFO info = topDown32(width_, height_);
    // GetDIBits wants the bitmap not selected into a DC on some systems, so
    // the previous bitmap goes back in for the copy.
    SelectObject(dc_.get(), previous_);
    GetDIBits(dc_.get(), bitmap_.get(), 0, static_cast<UINT>(height_), result.data(), &info,
              DIB_RGB_COLORS);
    SelectObject(dc_.get(), bitmap_.get());
    for (uint32_t& pixel : result) pixel &= 0x00FFFFFFu;
    return result;
}

void OffscreenBitmap::setPixels(const std::vector<uint32_t>& pixels) {
    if (!valid() || pixels.size() != static_cast<size_t>(width_) * static_cast<size_t>(height_)) {
        return;
    }
    BITMAPINFO info = topDown32(width_, height_);
    SelectObject(dc_.get(), previous_);
    SetDIBits(dc_.get(), bitmap_.get(), 0, static_cast<UINT>(height_), pixels.data(), &info,
              DIB_RGB_COLORS);
    SelectObject(dc_.get(), bitmap_.get());
}

void drawPixelRows(HDC target, int width, int height, const void* rows) {
    BITMAPINFO info = topDown32(width, height);
    SetDIBitsToDevice(target, 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(height), rows, &info, DIB_RGB_COLORS);
}

DibSection::DibSection(int width, int height) : width_(width) {
    BITMAPINFO info = topDown32(width, height);
    void* bits = nullptr;
    bitmap_.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    dc_.reset(CreateCompatibleDC(nullptr));
    if (dc_ && bitmap_ && bits) {
        previous_ = SelectObject(dc_.get(), bitmap_.get());
        bits_ = static_cast<uint32_t*>(bits);
    }
}

DibSection::~DibSection() {
    if (dc_ && previous_) SelectObject(dc_.get(), previous_);
}
