// The dots composed from kept shapes instead of one GDI+ fill each, where the
// platform's rasteriser allows exact reuse: a GDI+ fill costs far more than
// the dot's few pixels, and a frame has forty of them.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Offscreen.h"

class DotShapes {
public:
    // For frames of width x height pixels.
    DotShapes(int width, int height);
    ~DotShapes();
    DotShapes(const DotShapes&) = delete;
    DotShapes& operator=(const DotShapes&) = delete;

    // Writes into `frame`, within `areas` (which hold every dot's bounds),
    // the picture from `picture` with `dots` filled over it in order, pixel
    // for pixel as GDI+ fills them, and sets `covered` (a byte per frame
    // pixel) to 1 where a dot covers a pixel and to 0 elsewhere in `areas`.
    // `canvas`, a frame-sized bitmap like the frame's own, is where shapes
    // not seen before are filled by GDI+. False when this platform's fills
    // cannot be reproduced this way; the caller then fills the dots with GDI+.
    bool compose(const std::vector<const Particle*>& dots, const std::vector<RECT>& areas,
                 const DibSection& picture, DibSection& frame, std::vector<std::uint8_t>& covered,
                 OffscreenBitmap& canvas);

private:
    // Where a dot's fill covers pixels, over a square from two pixels above
    // and left of the dot's whole-pixel corner.
    struct Shape {
        std::array<std::uint64_t, 4> bits{};
        bool operator==(const Shape& o) const { return bits == o.bits; }
    };
    struct Key {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        bool operator==(const Key& o) const { return a == o.a && b == o.b; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return static_cast<std::size_t>(k.a * 0x9E3779B97F4A7C15ull ^ k.b);
        }
    };
    // What a fill in one colour makes of each value beneath it, channel by
    // channel (blue, green, red, alpha: 256 entries each).
    using Blend = std::array<std::uint8_t, 1024>;

    bool insideFrame(const RECT& r) const;
    bool ready();
    bool selfTest();
    Particle shapePlace(const Particle& dot) const;
    Key keyOf(const Particle& dot) const;
    std::uint32_t shapeColour();
    bool extract(const Particle& placed, LONG left, LONG right, LONG top, std::uint32_t full,
                 Shape& shape) const;
    bool render(const Particle& dot, Shape& shape);
    bool makeMissing(const std::vector<const Particle*>& dots);
    const Shape* shapeFor(const Particle& dot);
    const Blend* blendFor(std::int32_t alpha);
    void fill(HDC target, const Particle& dot);

    const int width_;
    const int height_;
    enum class State { Untested, Usable, Unusable };
    State state_ = State::Untested;
    bool sameOnEveryColumn_ = false;
    std::unordered_map<Key, Shape, KeyHash> shapes_;
    std::array<std::unique_ptr<Blend>, 256> blends_;
    OffscreenBitmap* canvas_ = nullptr;      // the caller's, during compose
    std::unique_ptr<OffscreenBitmap> ramp_;  // every value beneath, for the blends
    std::unique_ptr<DibSection> readBack_;   // canvas and ramp pixels as memory
    std::unique_ptr<Gdiplus::SolidBrush> brush_;
    std::vector<std::pair<Key, Particle>> missing_;
    std::vector<std::pair<Key, Particle>> slotted_;
    Gdiplus::GraphicsPath path_;
    std::vector<const Shape*> dotShapes_;
    std::vector<const Blend*> dotBlends_;
};
