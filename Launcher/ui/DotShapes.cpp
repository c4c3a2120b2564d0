#include "ui/DotShapes.h"

#include <cmath>
#include <cstring>

#include "draw/Geometry.h"
#include "ui/Particles.h"

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

// Sides of a shape's square: room for a dot of size 11 (5 design pixels at 200 %).
constexpr int kSquare = 16;
constexpr float kLargestDot = 11.0f;
constexpr std::size_t kMostShapes = 32768;  // far more than the dots ever visit
// Shapes are made in the one colour, side by side in a row of slots along
// the canvas, all in one fill: a fill's cost barely depends on its figures.
constexpr std::int32_t kShapeAlpha = 200;
constexpr int kSlot = kSquare + 2;
constexpr LONG kSlotRow = 400;

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

bool drawable(const Particle& dot) {
    return std::isfinite(dot.x) && std::isfinite(dot.y) && std::isfinite(dot.size) &&
           dot.size >= 0.0f && dot.size <= kLargestDot && std::fabs(dot.x) < 1e6f &&
           std::fabs(dot.y) < 1e6f;
}

}  // namespace

DotShapes::DotShapes(int width, int height) : width_(width), height_(height) {}
DotShapes::~DotShapes() = default;

bool DotShapes::insideFrame(const RECT& r) const {
    return r.left >= 0 && r.top >= 0 && r.right <= width_ && r.bottom <= height_;
}

bool DotShapes::ready() {
    if (!ramp_) {
        ramp_ = std::make_unique<OffscreenBitmap>(nullptr, 256, 1);
        readBack_ = std::make_unique<DibSection>(width_, kSquare);
        brush_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0));
    }
    return canvas_->valid() && canvas_->width() == width_ && canvas_->height() == height_ &&
           ramp_->valid() && readBack_->valid();
}

void DotShapes::fill(HDC target, const Particle& dot) {
    Gdiplus::Graphics graphics(target);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    drawParticle(graphics, *brush_, dot);
}

// Where the dot's shape is made: at its own place, or, for a dot on a whole
// column whose square the frame's edge cuts, moved by whole columns to where
// the frame holds it, when shapes are the same on every column.
Particle DotShapes::shapePlace(const Particle& dot) const {
    const RECT square = squareOf(dot);
    if (insideFrame(square) || !sameOnEveryColumn_ || dot.x != std::floor(dot.x)) return dot;
    Particle moved = dot;
    moved.x += square.left < 0 ? 16.0f : -16.0f;
    return insideFrame(squareOf(moved)) ? moved : dot;
}

DotShapes::Key DotShapes::keyOf(const Particle& dot) const {
    const Particle place = shapePlace(dot);
    Key key;
    if (!insideFrame(squareOf(place))) {
        // Clipped by the frame's edge: kept for this very place only.
        key.a = bitsOf(dot.size) | static_cast<std::uint64_t>(bitsOf(dot.y)) << 32;
        key.b = bitsOf(dot.x) | 0xFFFFFFFF00000000ull;
        return key;
    }
    const float fx = place.x - std::floor(place.x);
    const float fy = place.y - std::floor(place.y);
    std::uint32_t exponents = static_cast<std::uint8_t>(exponentOf(place.y)) |
                              static_cast<std::uint8_t>(exponentOf(place.y + place.size + 1.0f))
                                  << 8;
    // Dots stand on whole columns; where the test found shapes the same in
    // every column, the column's exponent does not matter.
    if (!(sameOnEveryColumn_ && fx == 0.0f)) {
        exponents |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(exponentOf(place.x)))
                         << 16 |
                     static_cast<std::uint32_t>(
                         static_cast<std::uint8_t>(exponentOf(place.x + place.size + 1.0f)))
                         << 24;
    }
    key.a = bitsOf(place.size) | static_cast<std::uint64_t>(bitsOf(fy)) << 32;
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

uint32_t DotShapes::shapeColour() {
    const Blend& b = *blendFor(kShapeAlpha);
    return static_cast<uint32_t>(b[768]) << 24 | static_cast<uint32_t>(b[512]) << 16 |
           static_cast<uint32_t>(b[256]) << 8 | b[0];
}

// The shape of `placed` from what the canvas held, filled over black, in the
// read-back whose first row is canvas row `top`: false when a pixel of its
// slot (`left` to `right`) is only partly covered or lies outside the dot's
// bounds, which shapes cannot reproduce.
bool DotShapes::extract(const Particle& placed, LONG left, LONG right, LONG top, uint32_t full,
                        Shape& shape) const {
    const RECT square = squareOf(placed);
    const RECT bounds = particleBounds(placed);
    shape = Shape{};
    for (int row = 0; row < kSquare; ++row) {
        const uint32_t* pixels = readBack_->row(row);
        for (LONG x = left; x < right; ++x) {
            if (pixels[x] == 0) continue;
            const POINT at{x, top + row};
            if (pixels[x] != full || !PtInRect(&bounds, at)) return false;
            const int bit = (at.y - square.top) * kSquare + (at.x - square.left);
            shape.bits[bit / 64] |= 1ull << (bit % 64);
        }
    }
    return true;
}

// One dot's shape, filled at its shape's place.
bool DotShapes::render(const Particle& shown, Shape& shape) {
    Particle dot = shapePlace(shown);
    dot.alpha = kShapeAlpha;
    const uint32_t full = shapeColour();  // before the read-back below is reused
    const RECT square = squareOf(dot);
    const RECT frame{0, 0, width_, height_};
    RECT visible{};
    if (!IntersectRect(&visible, &square, &frame)) {
        shape = Shape{};
        return true;
    }
    const int width = visible.right - visible.left;
    const int height = visible.bottom - visible.top;
    PatBlt(canvas_->dc(), visible.left, visible.top, width, height, BLACKNESS);
    fill(canvas_->dc(), dot);
    PatBlt(readBack_->dc(), 0, 0, width_, kSquare, BLACKNESS);
    BitBlt(readBack_->dc(), visible.left, 0, width, height, canvas_->dc(), visible.left,
           visible.top, SRCCOPY);
    GdiFlush();
    return extract(dot, visible.left, visible.right, visible.top, full, shape);
}

// Every shape the dots need and the kept ones lack: those that keep their
// key in a slot are filled there together, the others one by one.
bool DotShapes::makeMissing(const std::vector<const Particle*>& dots) {
    missing_.clear();
    for (const Particle* dot : dots) {
        const Key key = keyOf(*dot);
        if (shapes_.count(key)) continue;
        bool listed = false;
        for (const auto& m : missing_) listed = listed || m.first == key;
        if (!listed) missing_.emplace_back(key, *dot);
    }
    if (missing_.empty()) return true;
    const uint32_t full = shapeColour();
    slotted_.clear();
    path_.Reset();
    for (const auto& [key, dot] : missing_) {
        if (static_cast<int>(slotted_.size()) < (width_ - 2) / kSlot) {
            Particle placed = dot;
            placed.x = static_cast<float>(2 + 2 + kSlot * static_cast<int>(slotted_.size()));
            placed.y = static_cast<float>(kSlotRow) + (dot.y - std::floor(dot.y));
            placed.alpha = kShapeAlpha;
            if (keyOf(placed) == key) {
                slotted_.emplace_back(key, placed);
                path_.AddEllipse(placed.x, placed.y, placed.size, placed.size);
                continue;
            }
        }
        Shape shape;
        if (!render(dot, shape)) return false;
        shapes_.emplace(key, shape);
    }
    if (slotted_.empty()) return true;
    const LONG top = kSlotRow - 2;
    const int width = kSlot * static_cast<int>(slotted_.size()) + 2;
    PatBlt(canvas_->dc(), 0, top, width, kSquare, BLACKNESS);
    {
        Gdiplus::Graphics graphics(canvas_->dc());
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        brush_->SetColor(Gdiplus::Color(particleColour(slotted_.front().second)));
        graphics.FillPath(brush_.get(), &path_);
    }
    BitBlt(readBack_->dc(), 0, 0, width, kSquare, canvas_->dc(), 0, top, SRCCOPY);
    GdiFlush();
    for (std::size_t i = 0; i < slotted_.size(); ++i) {
        const LONG left = static_cast<LONG>(kSlot * i);
        const LONG right = i + 1 == slotted_.size() ? width : left + kSlot;
        Shape shape;
        if (!extract(slotted_[i].second, left, right, top, full, shape)) return false;
        shapes_.emplace(slotted_[i].first, shape);
    }
    return true;
}

const DotShapes::Shape* DotShapes::shapeFor(const Particle& dot) {
    const auto found = shapes_.find(keyOf(dot));
    return found == shapes_.end() ? nullptr : &found->second;
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
        if (!makeMissing({&there})) return false;
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
    if (!makeMissing(dots)) {
        state_ = State::Unusable;
        return false;
    }
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
    covered.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
    for (const RECT& r : areas) {
        const std::size_t width = static_cast<std::size_t>(r.right - r.left);
        for (LONG y = r.top; y < r.bottom; ++y) {
            std::memcpy(frame.row(y) + r.left, picture.row(y) + r.left, width * sizeof(uint32_t));
            std::memset(&covered[static_cast<std::size_t>(y) * width_ + r.left], 0, width);
        }
    }
    for (std::size_t i = 0; i < dots.size(); ++i) {
        const Shape& shape = *dotShapes_[i];
        const Blend& blend = *dotBlends_[i];
        const RECT square = squareOf(*dots[i]);
        for (int bit = 0; bit < kSquare * kSquare; ++bit) {
            if (!(shape.bits[bit / 64] >> (bit % 64) & 1)) continue;
            const LONG x = square.left + bit % kSquare;
            const LONG y = square.top + bit / kSquare;
            if (x < 0 || y < 0 || x >= width_ || y >= height_) continue;
            covered[static_cast<std::size_t>(y) * width_ + x] = 1;
            uint32_t& pixel = frame.row(y)[x];
            pixel = static_cast<uint32_t>(blend[768 + (pixel >> 24)]) << 24 |
                    static_cast<uint32_t>(blend[512 + (pixel >> 16 & 0xFF)]) << 16 |
                    static_cast<uint32_t>(blend[256 + (pixel >> 8 & 0xFF)]) << 8 |
                    blend[pixel & 0xFF];
        }
    }
    return true;
}
