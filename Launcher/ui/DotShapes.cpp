#include "ui/DotShapes.h"

#include <cmath>
#include <cstring>

#include "ui/Particles.h"
#include "ui/ScreenControls.h"

// Why reuse can be exact. A fill whose every pixel is either left alone or
// blended with the fill's colour is described by its shape and by what the
// blend makes of each value beneath, channel by channel. The shape depends
// on the dot's size and on where it stands within its pixel: moved by whole
// pixels, its coordinates keep their fractions, and the rounding the
// rasteriser does on them stays the same as long as they keep their binary
// exponent, which is part of the key. Whether the platform draws that way is
// tested, not assumed: every shape is checked to be all-or-nothing, and before
// the first use a few dots are composed at one place from shapes made at
// another and compared with GDI+'s own fill there. Any difference and every
// dot is filled by GDI+ again.

namespace {

constexpr int kSquare = 12;  // sides of a shape's square: a dot of size 7 at most
constexpr float kLargestDot = 7.0f;
constexpr std::size_t kMostShapes = 32768;  // far more than the dots ever visit

int exponentOf(float value) {
    int exponent = 0;
    std::frexp(value, &exponent);
    return exponent;
}

std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

LONG wholeCorner(float value) {
    return static_cast<LONG>(std::floor(value)) - 2;
}

// The shape's square in frame pixels, before clipping to the frame.
RECT squareOf(const Particle& dot) {
    const LONG left = wholeCorner(dot.x);
    const LONG top = wholeCorner(dot.y);
    return RECT{left, top, left + kSquare, top + kSquare};
}

bool insideFrame(const RECT& r) {
    return r.left >= 0 && r.top >= 0 && r.right <= kFrameWidth && r.bottom <= kFrameHeight;
}

bool drawable(const Particle& dot) {
    return std::isfinite(dot.x) && std::isfinite(dot.y) && std::isfinite(dot.size) &&
           dot.size >= 0.0f && dot.size <= kLargestDot && std::fabs(dot.x) < 1e6f &&
           std::fabs(dot.y) < 1e6f;
}

}  // namespace

DotShapes::DotShapes() = default;
DotShapes::~DotShapes() = default;

bool DotShapes::ready() {
    if (!ramp_) {
        ramp_ = std::make_unique<OffscreenBitmap>(nullptr, 256, 1);
        readBack_ = std::make_unique<DibSection>(256, kSquare);
        brush_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0));
    }
    return canvas_->valid() && canvas_->width() == kFrameWidth &&
           canvas_->height() == kFrameHeight && ramp_->valid() && readBack_->valid();
}

void DotShapes::fill(HDC target, const Particle& dot) {
    Gdiplus::Graphics graphics(target);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    drawParticle(graphics, *brush_, dot);
}

DotShapes::Key DotShapes::keyOf(const Particle& dot) const {
    const RECT square = squareOf(dot);
    Key key;
    if (!insideFrame(square)) {
        // Clipped by the frame's edge: kept for this very place only.
        key.a = bitsOf(dot.size) | static_cast<std::uint64_t>(bitsOf(dot.y)) << 32;
        key.b = bitsOf(dot.x) | 0xFFFFFFFF00000000ull;
        return key;
    }
    const float fx = dot.x - std::floor(dot.x);
    const float fy = dot.y - std::floor(dot.y);
    std::uint32_t exponents = static_cast<std::uint8_t>(exponentOf(dot.y)) |
                              static_cast<std::uint8_t>(exponentOf(dot.y + dot.size + 1.0f)) << 8;
    // Dots stand on whole columns; where the test found shapes the same in
    // every column, the column's exponent does not matter.
    if (!(sameOnEveryColumn_ && fx == 0.0f)) {
        exponents |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(exponentOf(dot.x)))
                         << 16 |
                     static_cast<std::uint32_t>(
                         static_cast<std::uint8_t>(exponentOf(dot.x + dot.size + 1.0f)))
                         << 24;
    }
    key.a = bitsOf(dot.size) | static_cast<std::uint64_t>(bitsOf(fy)) << 32;
    key.b = bitsOf(fx) | static_cast<std::uint64_t>(exponents) << 32;
    return key;
}

const DotShapes::Blend* DotShapes::blendFor(std::int32_t alpha) {
    std::unique_ptr<Blend>& kept = blends_[static_cast<std::uint8_t>(alpha)];
    if (kept) return kept.get();
    // Every value beneath, in every channel at once, under one fill that
    // covers them all.
    std::vector<uint32_t> values(256);
    for (std::uint32_t i = 0; i < 256; ++i) values[i] = i * 0x01010101u;
    ramp_->setPixels(values);
    Particle cover;
    cover.x = -100.0f;
    cover.y = -100.0f;
    cover.size = 512.0f;
    cover.alpha = alpha;
    fill(ramp_->dc(), cover);
    BitBlt(readBack_->dc(), 0, 0, 256, 1, ramp_->dc(), 0, 0, SRCCOPY);
    GdiFlush();
    auto blend = std::make_unique<Blend>();
    const uint32_t* row = readBack_->row(0);
    for (int channel = 0; channel < 4; ++channel) {
        for (int i = 0; i < 256; ++i) {
            (*blend)[channel * 256 + i] = static_cast<std::uint8_t>(row[i] >> (8 * channel));
        }
    }
    kept = std::move(blend);
    return kept.get();
}

// The dot filled over black at its own place; false when a pixel is only
// partly covered or lies outside the dot's bounds, which shapes cannot
// reproduce.
bool DotShapes::render(const Particle& dot, Shape& shape) {
    const Blend* blend = blendFor(dot.alpha);  // before the read-back below is reused
    const Blend& b = *blend;
    const uint32_t full = static_cast<uint32_t>(b[768]) << 24 |
                          static_cast<uint32_t>(b[512]) << 16 | static_cast<uint32_t>(b[256]) << 8 |
                          b[0];
    const RECT square = squareOf(dot);
    const RECT frame{0, 0, kFrameWidth, kFrameHeight};
    RECT visible{};
    if (!IntersectRect(&visible, &square, &frame)) {
        shape = Shape{};
        return true;
    }
    const int width = visible.right - visible.left;
    const int height = visible.bottom - visible.top;
    PatBlt(canvas_->dc(), visible.left, visible.top, width, height, BLACKNESS);
    fill(canvas_->dc(), dot);
    BitBlt(readBack_->dc(), 0, 0, width, height, canvas_->dc(), visible.left, visible.top, SRCCOPY);
    GdiFlush();
    const RECT bounds = particleBounds(dot);
    shape = Shape{};
    for (int row = 0; row < height; ++row) {
        const uint32_t* pixels = readBack_->row(row);
        for (int column = 0; column < width; ++column) {
            if (pixels[column] == 0) continue;
            const POINT at{visible.left + column, visible.top + row};
            if (pixels[column] != full || !PtInRect(&bounds, at)) return false;
            const int bit = (at.y - square.top) * kSquare + (at.x - square.left);
            shape.bits[bit / 64] |= 1ull << (bit % 64);
        }
    }
    return true;
}

const DotShapes::Shape* DotShapes::shapeFor(const Particle& dot) {
    const Key key = keyOf(dot);
    const auto found = shapes_.find(key);
    if (found != shapes_.end()) return &found->second;
    Shape shape;
    if (!render(dot, shape)) return nullptr;
    return &shapes_.emplace(key, shape).first->second;
}

bool DotShapes::selfTest() {
    // Whether a dot's shape is the same on every whole column: the same dots
    // at columns of different binary exponents.
    sameOnEveryColumn_ = true;
    const float fractions[] = {0.0f, 0.37f, 0.631f, 0.5f};
    for (float size : {2.0f, 3.0f, 4.0f, 5.0f}) {
        for (float fraction : fractions) {
            Shape first;
            bool have = false;
            for (float column : {3.0f, 100.0f, 300.0f, 700.0f}) {
                Shape shape;
                if (!render(Particle{column, 400.0f + fraction, 0.0f, size, 200}, shape)) {
                    return false;
                }
                if (have && !(shape == first)) sameOnEveryColumn_ = false;
                first = shape;
                have = true;
            }
        }
    }
    // The whole way against GDI+ itself: shapes made at one place, composed
    // over noise at another, equal the fill there.
    DibSection noise(kSquare, kSquare);
    DibSection composed(kSquare, kSquare);
    if (!noise.valid() || !composed.valid()) return false;
    std::uint32_t seed = 12345;
    for (int sample = 0; sample < 6; ++sample) {
        const float size = 2.0f + static_cast<float>(sample % 4);
        const float fraction = 0.13f * static_cast<float>(sample);
        const std::int32_t alpha = 150 + 17 * sample;
        const Particle there{300.0f + static_cast<float>(sample), 380.0f + fraction, 0.0f, size,
                             alpha};
        Particle here = there;
        here.x += sameOnEveryColumn_ ? 400.0f : 40.0f;
        here.y -= 50.0f;
        const Shape* shape = shapeFor(there);
        const Blend* blend = blendFor(alpha);
        if (!shape || !blend) return false;
        GdiFlush();
        for (int y = 0; y < kSquare; ++y) {
            for (int x = 0; x < kSquare; ++x) {
                seed = seed * 1664525u + 1013904223u;
                noise.row(y)[x] = seed;
            }
        }
        const RECT square = squareOf(here);
        BitBlt(canvas_->dc(), square.left, square.top, kSquare, kSquare, noise.dc(), 0, 0, SRCCOPY);
        fill(canvas_->dc(), here);
        BitBlt(composed.dc(), 0, 0, kSquare, kSquare, canvas_->dc(), square.left, square.top,
               SRCCOPY);
        GdiFlush();
        for (int bit = 0; bit < kSquare * kSquare; ++bit) {
            std::uint32_t expected = noise.row(bit / kSquare)[bit % kSquare];
            if (shape->bits[bit / 64] >> (bit % 64) & 1) {
                std::uint32_t blended = 0;
                for (int channel = 0; channel < 4; ++channel) {
                    const std::uint32_t beneath = expected >> (8 * channel) & 0xFF;
                    blended |= static_cast<std::uint32_t>((*blend)[channel * 256 + beneath])
                               << (8 * channel);
                }
                expected = blended;
            }
            if (composed.row(bit / kSquare)[bit % kSquare] != expected) return false;
        }
    }
    return true;
}

bool DotShapes::compose(const std::vector<const Particle*>& dots, const std::vector<RECT>& areas,
                        const DibSection& picture, DibSection& frame,
                        std::vector<std::uint8_t>& covered, OffscreenBitmap& canvas) {
    if (state_ == State::Unusable) return false;
    canvas_ = &canvas;
    for (const Particle* dot : dots) {
        if (!drawable(*dot)) return false;
    }
    if (!ready()) {
        state_ = State::Unusable;
        return false;
    }
    if (state_ == State::Untested) state_ = selfTest() ? State::Usable : State::Unusable;
    if (state_ == State::Unusable) return false;

    // Shapes first: a missing one is made with GDI+, which must be done
    // before the frame's pixels are touched as memory.
    if (shapes_.size() + dots.size() > kMostShapes) shapes_.clear();
    dotShapes_.clear();
    dotBlends_.clear();
    for (const Particle* dot : dots) {
        const Shape* shape = shapeFor(*dot);
        if (!shape) {
            state_ = State::Unusable;
            return false;
        }
        dotShapes_.push_back(shape);
        dotBlends_.push_back(blendFor(dot->alpha));
    }
    GdiFlush();
    covered.resize(static_cast<std::size_t>(kFrameWidth) * kFrameHeight);
    for (const RECT& r : areas) {
        const std::size_t width = static_cast<std::size_t>(r.right - r.left);
        for (LONG y = r.top; y < r.bottom; ++y) {
            std::memcpy(frame.row(y) + r.left, picture.row(y) + r.left, width * sizeof(uint32_t));
            std::memset(&covered[static_cast<std::size_t>(y) * kFrameWidth + r.left], 0, width);
        }
    }
    for (std::size_t i = 0; i < dots.size(); ++i) {
        const Shape& shape = *dotShapes_[i];
        const Blend& blend = *dotBlends_[i];
        const RECT square = squareOf(*dots[i]);
        for (int bit = 0; bit < kSquare * kSquare; ++bit) {
            if (!(shape.bits[bit / 64] >> (bit % 64) & 1)) continue;
            // Set only for pixels inside the frame.
            const LONG x = square.left + bit % kSquare;
            const LONG y = square.top + bit / kSquare;
            covered[static_cast<std::size_t>(y) * kFrameWidth + x] = 1;
            uint32_t& pixel = frame.row(y)[x];
            pixel = static_cast<uint32_t>(blend[768 + (pixel >> 24)]) << 24 |
                    static_cast<uint32_t>(blend[512 + (pixel >> 16 & 0xFF)]) << 16 |
                    static_cast<uint32_t>(blend[256 + (pixel >> 8 & 0xFF)]) << 8 |
                    blend[pixel & 0xFF];
        }
    }
    return true;
}
