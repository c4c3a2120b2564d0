#include "ui/FrameCache.h"

#include <algorithm>
#include <cmath>

#include "ui/KeyboardFocus.h"
#include "ui/Particles.h"

namespace {

// The smallest rectangle holding every point added; empty when none was.
class Bounds {
public:
    Bounds(LONG width, LONG height) : r_{width, height, 0, 0} {}
    void add(LONG x, LONG y) {
        r_.left = std::min(r_.left, x);
        r_.top = std::min(r_.top, y);
        r_.right = std::max(r_.right, x + 1);
        r_.bottom = std::max(r_.bottom, y + 1);
    }
    RECT rect() const { return r_.left < r_.right ? r_ : RECT{}; }

private:
    RECT r_;
};

// A pixel a drawing changed, given the drawing made over black and over white.
bool drawnOn(uint32_t overBlack, uint32_t overWhite) {
    return overBlack != 0u || overWhite != 0x00FFFFFFu;
}

constexpr int kBandRows = 32;

// Calls visit(y, overBlack, overWhite) with row y (0x00RRGGBB) of two
// frame-sized layers, copied into memory a band of rows at a time: comparing
// the layers makes no whole copy of either.
template <class Visit>
void visitRowPairs(HDC overBlack, HDC overWhite, DibSection& bandBlack, DibSection& bandWhite,
                   int width, int height, Visit visit) {
    if (!bandBlack.valid() || !bandWhite.valid()) return;
    for (int top = 0; top < height; top += kBandRows) {
        const int rows = std::min(kBandRows, height - top);
        BitBlt(bandBlack.dc(), 0, 0, width, rows, overBlack, 0, top, SRCCOPY);
        BitBlt(bandWhite.dc(), 0, 0, width, rows, overWhite, 0, top, SRCCOPY);
        GdiFlush();
        for (int r = 0; r < rows; ++r) {
            uint32_t* black = bandBlack.row(r);
            uint32_t* white = bandWhite.row(r);
            for (int x = 0; x < width; ++x) {
                black[x] &= 0x00FFFFFFu;
                white[x] &= 0x00FFFFFFu;
            }
            visit(top + r, black, white);
        }
    }
}

bool keptDotShapesAllowed = true;

// The picture over black at the frame's size, as every frame starts: the
// program's ready pixels (made for the design's size), or else the decoded picture.
std::unique_ptr<OffscreenBitmap> drawPicture(Gdiplus::Image* image, const void* pixels, int width,
                                             int height) {
    auto picture = std::make_unique<OffscreenBitmap>(nullptr, width, height);
    if (pixels && width == kWindowWidth && height == kWindowHeight) {
        drawPixelRows(picture->dc(), width, height, pixels);
        return picture;
    }
    // A new bitmap holds black, as the plain pass's fresh one does, so a
    // picture with transparent parts comes out the same.
    PatBlt(picture->dc(), 0, 0, width, height, BLACKNESS);
    if (image) {
        Gdiplus::Graphics graphics(picture->dc());
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        drawPictureAt(graphics, image, width, height);
    }
    return picture;
}

// The picture drawn ahead of the first frame, and which picture it is.
std::unique_ptr<OffscreenBitmap> preparedPicture;
Gdiplus::Image* preparedFor = nullptr;

}  // namespace

bool twiceSizePictureNearer(int width) {
    return 2 * width >= 3 * kWindowWidth;
}

Gdiplus::Image* pictureNearest(int width) {
    Gdiplus::Image* const once = launcherState.backgroundImage;
    Gdiplus::Image* const twice = launcherState.backgroundImage2x;
    if (!once || !twice) return once ? once : twice;
    return twiceSizePictureNearer(width) ? twice : once;
}

void drawPictureAt(Gdiplus::Graphics& graphics, Gdiplus::Image* picture, int width, int height) {
    const int pictureWidth = static_cast<int>(picture->GetWidth());
    const int pictureHeight = static_cast<int>(picture->GetHeight());
    if (pictureWidth == width && pictureHeight == height) {
        graphics.DrawImage(picture, 0, 0, width, height);
        return;
    }
    // Bicubic over whole pixels, the picture's edges mirrored rather than
    // faded into the transparent outside.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    graphics.DrawImage(picture, Gdiplus::Rect(0, 0, width, height), 0, 0, pictureWidth,
                       pictureHeight, Gdiplus::UnitPixel, &edges);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeDefault);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeDefault);
}

void preparePicture(Gdiplus::Image* image, int width, int height) {
    // The text's font family is looked up here too: both take long the
    // first time.
    textFontFamilyName();
    preparedPicture = drawPicture(image, nullptr, width, height);
    preparedFor = image;
}

void dropPreparedPicture() {
    preparedPicture.reset();
    preparedFor = nullptr;
}

void allowKeptDotShapes(bool allowed) {
    keptDotShapesAllowed = allowed;
}

ControlsKey ControlsKey::current() {
    ControlsKey key;
    key.progressPercent = launcherState.progressPercent.load();
    for (size_t i = 0; i < kButtonCount; ++i) key.hovers[i] = launcherState.*kButtons[i].hover;
    key.statusDetail = launcherState.statusDetail.get();
    key.focusRing = focusRingStop();
    return key;
}

FrameCache::FrameCache()
    : width_(launcherState.scale.px(kWindowWidth)),
      height_(launcherState.scale.px(kWindowHeight)),
      shapes_(width_, height_) {}

const void* FrameCache::readyPixels() const {
    const bool designSize = width_ == kWindowWidth && height_ == kWindowHeight;
    return designSize ? launcherState.backgroundPixels : nullptr;
}

void FrameCache::drawBackground(Gdiplus::Graphics& graphics) {
    // Until a layered frame needs the picture kept, it comes straight from
    // the program's pixels: the first frame makes no copy of it.
    const void* pixels = readyPixels();
    const bool direct = pixels && !background_;
    if (!direct) refreshBackground();
    HDC target = graphics.GetHDC();
    if (!target) return;
    if (direct) {
        drawPixelRows(target, width_, height_, pixels);
    } else {
        BitBlt(target, 0, 0, width_, height_, background_->dc(), 0, 0, SRCCOPY);
    }
    graphics.ReleaseHDC(target);
}

ControlTools FrameCache::tools() {
    if (!resources_) {
        resources_ = std::make_unique<PaintResourceSet>(launcherState.scale);
        fill_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0));
        leftFormat_ = std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL);
        leftFormat_->SetAlignment(Gdiplus::StringAlignmentNear);
        shadow_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(kStatusShadowColour));
    }
    return ControlTools{resources_->get(), fill_.get(), leftFormat_.get(), shadow_.get()};
}

Gdiplus::SolidBrush& FrameCache::particleBrush() {
    tools();
    return *fill_;
}

bool FrameCache::controlsSettled() {
    ControlsKey key = ControlsKey::current();
    const bool settled = (composed_ && key == controlsKey_) || key == previousKey_;
    previousKey_ = std::move(key);
    return settled;
}

bool FrameCache::drawLayered(HDC target, bool holdsLastFrame) {
    refreshBackground();
    refreshControls();
    const ControlTools kept = tools();

    // The dots whose surroundings hold any pixel the controls leave open.
    dirty_.clear();
    visible_.clear();
    for (const Particle& particle : launcherState.particles) {
        const RECT area = particleBounds(particle);
        if (IsRectEmpty(&area) || allDecided(area)) continue;
        visible_.push_back(&particle);
        dirty_.push_back(area);
    }
    const bool inMemory = composeInMemory(kept);

    const bool repairOnly =
        holdsLastFrame && lastFrameLayered_ && lastComposed_ == composedGeneration_;
    lastFrameLayered_ = false;  // until this frame is complete
    if (repairOnly) {
        for (const RECT& r : lastDirty_) blit(target, r, composed_->dc(), SRCCOPY);
    } else {
        BitBlt(target, 0, 0, width_, height_, composed_->dc(), 0, 0, SRCCOPY);
    }
    HDC surroundings = inMemory ? dotsBits_->dc() : background_->dc();
    for (const RECT& r : dirty_) blit(target, r, surroundings, SRCCOPY);
    if (!inMemory) {
        Gdiplus::Graphics graphics(target);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        if (!drawOverDots(graphics, kept)) return false;
    }

    // Everything this frame changed beyond the composed layer lies in dirty_.
    lastDirty_ = dirty_;
    lastComposed_ = composedGeneration_;
    lastFrameLayered_ = holdsLastFrame;
    return repairOnly;
}

// In memory, where the platform's fills allow it: the picture and the dots in
// the dots' surroundings, the controls drawn again where they blend with a
// dot beneath, and the composed layer everywhere else.
bool FrameCache::composeInMemory(const ControlTools& kept) {
    if (!keptDotShapesAllowed) return false;
    if (!dotsBits_) dotsBits_ = std::make_unique<DibSection>(width_, height_);
    if (!pictureBits_->valid() || !composedBits_ || !composedBits_->valid() ||
        !dotsBits_->valid() ||
        !shapes_.compose(visible_, dirty_, *pictureBits_, *dotsBits_, covered_, *scratch_)) {
        return false;
    }
    // Only pixels a dot covers differ from the composed layer beneath a
    // control. Where the control blends with them it is drawn again over
    // picture and dots, in order, on a bitmap like the frame's, and taken
    // back.
    for (int control = 0; control < kControlCount; ++control) {
        if (!clipsToRedraw(control, &FrameCache::anyCoveredBlended)) continue;
        for (const RECT& r : clipRects_) blit(scratch_->dc(), r, dotsBits_->dc(), SRCCOPY);
        {
            Gdiplus::Graphics copy(scratch_->dc());
            copy.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            drawControl(copy, kept, control);
        }
        for (const RECT& r : clipRects_) blit(dotsBits_->dc(), r, scratch_->dc(), SRCCOPY);
    }
    GdiFlush();
    for (const RECT& r : dirty_) {
        for (LONG y = r.top; y < r.bottom; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * width_;
            uint32_t* out = dotsBits_->row(y);
            const uint32_t* layer = composedBits_->row(y);
            for (LONG x = r.left; x < r.right; ++x) {
                if (!covered_[row + x] || decided_[row + x]) out[x] = layer[x];
            }
        }
    }
    return true;
}

// Gathers into clipRects_ where the control's footprint meets the repainted
// places; true when its text blends with a pixel there, so that it must be
// drawn again.
bool FrameCache::clipsToRedraw(int control, bool (FrameCache::*blends)(const RECT&) const) {
    const RECT& footprint = footprints_[control];
    clipRects_.clear();
    if (IsRectEmpty(&footprint)) return false;
    bool open = false;
    for (const RECT& r : dirty_) {
        RECT overlap;
        if (!IntersectRect(&overlap, &footprint, &r)) continue;
        clipRects_.push_back(overlap);
        open = open || (this->*blends)(overlap);
    }
    return open;
}

// The dots filled by GDI+ over the picture already in the frame's dots'
// surroundings; then the controls drawn again where they blend near a dot,
// and the decided pixels put back.
bool FrameCache::drawOverDots(Gdiplus::Graphics& graphics, const ControlTools& kept) {
    drawVisibleParticles(graphics);
    for (int control = 0; control < kControlCount; ++control) {
        if (!clipsToRedraw(control, &FrameCache::anyBlended)) continue;
        const RECT& footprint = footprints_[control];

        // Drawn whole on a copy of the frame and copied back where needed:
        // GDI+ draws far slower through a clip made of many rectangles.
        HDC frame = graphics.GetHDC();
        if (!frame) return false;
        blit(scratch_->dc(), footprint, frame, SRCCOPY);
        {
            Gdiplus::Graphics copy(scratch_->dc());
            copy.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            drawControl(copy, kept, control);
        }
        for (const RECT& r : clipRects_) blit(frame, r, scratch_->dc(), SRCCOPY);
        graphics.ReleaseHDC(frame);
    }

    // Decided pixels back from the composed layer: clear them, then add them.
    if (!decidedPixels_) {
        std::vector<uint32_t> pixels = composed_->pixels();
        std::vector<uint32_t> open(pixels.size());
        for (size_t i = 0; i < pixels.size(); ++i) {
            if (!decided_[i]) pixels[i] = 0;
            open[i] = decided_[i] ? 0u : 0xFFFFFFFFu;
        }
        decidedPixels_ = std::make_unique<OffscreenBitmap>(nullptr, width_, height_);
        openMask_ = std::make_unique<OffscreenBitmap>(nullptr, width_, height_);
        decidedPixels_->setPixels(pixels);
        openMask_->setPixels(open);
    }
    HDC target = graphics.GetHDC();
    if (!target) return false;
    for (const RECT& r : dirty_) {
        blit(target, r, openMask_->dc(), SRCAND);
        blit(target, r, decidedPixels_->dc(), SRCPAINT);
    }
    graphics.ReleaseHDC(target);
    return true;
}

OffscreenBitmap& FrameCache::buffer(HWND window, int width, int height) {
    if (!buffer_ || buffer_->width() != width || buffer_->height() != height) {
        buffer_.reset();
        HDC windowDc = GetDC(window);
        buffer_ = std::make_unique<OffscreenBitmap>(windowDc, width, height);
        ReleaseDC(window, windowDc);
        forgetLastFrame();
    }
    return *buffer_;
}

void FrameCache::blit(HDC target, const RECT& r, HDC source, DWORD operation) {
    BitBlt(target, r.left, r.top, r.right - r.left, r.bottom - r.top, source, r.left, r.top,
           operation);
}

// The dot's bounding square with two pixels to spare for smoothing.
// Each fill call costs GDI+ far more than the dot's few pixels, so dots
// of one colour go in one path. Only dots whose surroundings meet no
// other dot's are put together: they share no pixel with any dot, so the
// order in which they are drawn cannot show. The others keep their order.
void FrameCache::drawVisibleParticles(Gdiplus::Graphics& graphics) {
    const size_t count = visible_.size();
    alone_.assign(count, 1);
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = i + 1; j < count; ++j) {
            RECT overlap;
            if (IntersectRect(&overlap, &dirty_[i], &dirty_[j])) alone_[i] = alone_[j] = 0;
        }
    }
    Gdiplus::SolidBrush& brush = *fill_;
    for (size_t i = 0; i < count; ++i) {
        if (alone_[i] != 1) continue;
        const Particle& first = *visible_[i];
        batch_.Reset();
        batch_.AddEllipse(first.x, first.y, first.size, first.size);
        int members = 1;
        for (size_t j = i + 1; j < count; ++j) {
            const Particle& other = *visible_[j];
            if (alone_[j] != 1 || other.alpha != first.alpha) continue;
            batch_.AddEllipse(other.x, other.y, other.size, other.size);
            alone_[j] = 2;  // drawn
            ++members;
        }
        if (members == 1) {
            drawParticle(graphics, brush, first);
        } else {
            brush.SetColor(Gdiplus::Color(particleColour(first)));
            graphics.FillPath(&brush, &batch_);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (alone_[i] == 0) drawParticle(graphics, brush, *visible_[i]);
    }
}

// Whether any pixel of `r` is one the controls blend with what lies
// beneath; only there must a control be drawn over the dots again.
bool FrameCache::anyBlended(const RECT& r) const {
    for (LONG y = r.top; y < r.bottom; ++y) {
        const uint8_t* row = &blended_[static_cast<size_t>(y) * width_];
        for (LONG x = r.left; x < r.right; ++x) {
            if (row[x]) return true;
        }
    }
    return false;
}

bool FrameCache::anyCoveredBlended(const RECT& r) const {
    for (LONG y = r.top; y < r.bottom; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * width_;
        for (LONG x = r.left; x < r.right; ++x) {
            if (covered_[row + x] && blended_[row + x]) return true;
        }
    }
    return false;
}

bool FrameCache::allDecided(const RECT& r) const {
    for (LONG y = r.top; y < r.bottom; ++y) {
        const uint8_t* row = &decided_[static_cast<size_t>(y) * width_];
        for (LONG x = r.left; x < r.right; ++x) {
            if (!row[x]) return false;
        }
    }
    return true;
}

void FrameCache::refreshControls() {
    ControlsKey key = ControlsKey::current();
    if (composed_ && key == controlsKey_) return;
    const ControlTools kept = tools();
    // The layers the controls are measured on are the scratch layer and the
    // composed one before it takes the controls over the picture: a new
    // state costs no memory beyond two bands of rows.
    if (!scratch_) scratch_ = std::make_unique<OffscreenBitmap>(nullptr, width_, height_);
    if (!composed_) composed_ = std::make_unique<OffscreenBitmap>(nullptr, width_, height_);
    if (!bandBlack_) bandBlack_ = std::make_unique<DibSection>(width_, kBandRows);
    if (!bandWhite_) bandWhite_ = std::make_unique<DibSection>(width_, kBandRows);
    const auto drawOver = [&](OffscreenBitmap& layer, DWORD fill, int only) {
        if (fill) PatBlt(layer.dc(), 0, 0, width_, height_, fill);
        Gdiplus::Graphics graphics(layer.dc());
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        for (int control = 0; control < kControlCount; ++control) {
            if (only < 0 || control == only) drawControl(graphics, kept, control);
        }
    };

    // Pixels the controls draw the same over black and over white are
    // decided by them alone. Each control's reach is narrowed to the pixels
    // the controls really change.
    drawOver(*scratch_, BLACKNESS, -1);
    drawOver(*composed_, WHITENESS, -1);
    decided_.assign(static_cast<size_t>(width_) * height_, 0);
    blended_.assign(decided_.size(), 0);
    RECT within[kControlCount] = {};
    std::vector<Bounds> reach(kControlCount, Bounds(width_, height_));
    for (int control = 0; control < kControlCount; ++control) {
        const RECT frame{0, 0, width_, height_};
        const RECT nominal = controlFootprint(control);
        if (control != Status) IntersectRect(&within[control], &nominal, &frame);
    }
    visitRowPairs(scratch_->dc(), composed_->dc(), *bandBlack_, *bandWhite_, width_, height_,
                  [&](LONG y, const uint32_t* black, const uint32_t* white) {
                      const size_t row = static_cast<size_t>(y) * width_;
                      for (LONG x = 0; x < width_; ++x) {
                          const bool decided = black[x] == white[x];
                          decided_[row + x] = decided ? 1 : 0;
                          blended_[row + x] = drawnOn(black[x], white[x]) && !decided ? 1 : 0;
                      }
                      for (int control = 0; control < kControlCount; ++control) {
                          const RECT& r = within[control];
                          if (y < r.top || y >= r.bottom) continue;
                          for (LONG x = r.left; x < r.right; ++x) {
                              if (drawnOn(black[x], white[x])) reach[control].add(x, y);
                          }
                      }
                  });
    for (int control = 0; control < kControlCount; ++control) {
        footprints_[control] = reach[control].rect();
    }
    // The status line is measured alone: its text is far shorter than its
    // line, and its area meets the progress track's. Two pixels to spare.
    drawOver(*scratch_, BLACKNESS, Status);
    drawOver(*composed_, WHITENESS, Status);
    Bounds status(width_, height_);
    visitRowPairs(scratch_->dc(), composed_->dc(), *bandBlack_, *bandWhite_, width_, height_,
                  [&](LONG y, const uint32_t* black, const uint32_t* white) {
                      for (LONG x = 0; x < width_; ++x) {
                          if (drawnOn(black[x], white[x])) status.add(x, y);
                      }
                  });
    footprints_[Status] = status.rect();
    if (!IsRectEmpty(&footprints_[Status])) InflateRect(&footprints_[Status], 2, 2);

    // Now the layer itself: the controls over the picture.
    BitBlt(composed_->dc(), 0, 0, width_, height_, background_->dc(), 0, 0, SRCCOPY);
    drawOver(*composed_, 0, -1);  // over what is there
    // Made from decided_ when first needed: only the frames drawn with GDI+ use them.
    decidedPixels_.reset();
    openMask_.reset();
    if (!composedBits_) composedBits_ = std::make_unique<DibSection>(width_, height_);
    BitBlt(composedBits_->dc(), 0, 0, width_, height_, composed_->dc(), 0, 0, SRCCOPY);
    controlsKey_ = std::move(key);
    ++composedGeneration_;
}

void FrameCache::refreshBackground() {
    Gdiplus::Image* image = pictureNearest(width_);
    const void* pixels = readyPixels();
    if (background_ && backgroundSource_ == image && backgroundPixels_ == pixels) return;
    if (!pixels && preparedPicture && preparedFor == image &&
        preparedPicture->width() == width_ && preparedPicture->height() == height_) {
        background_ = std::move(preparedPicture);
    } else {
        background_ = drawPicture(image, pixels, width_, height_);
    }
    dropPreparedPicture();
    pictureBits_ = std::make_unique<DibSection>(width_, height_);
    BitBlt(pictureBits_->dc(), 0, 0, width_, height_, background_->dc(), 0, 0, SRCCOPY);
    backgroundSource_ = image;
    backgroundPixels_ = pixels;
    composed_.reset();  // drawn over the old picture
}
