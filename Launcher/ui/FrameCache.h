// What the main screen's frames keep between passes: the picture, the
// controls' layer and the window's buffer, repaired around the dots.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "draw/Drawing.h"
#include "draw/Offscreen.h"
#include "ui/DotShapes.h"
#include "ui/ScreenControls.h"

// Whether the picture twice the design's size is the nearer one for a
// frame `width` pixels wide: from 3/2 of the design's width on.
bool twiceSizePictureNearer(int width);
// The decoded picture a frame `width` pixels wide draws: the nearer one, or
// the one there is; null when there is none.
Gdiplus::Image* pictureNearest(int width);
// Draws `picture` over width x height pixels: at its own size unchanged, at
// any other with GDI+'s high-quality filter.
void drawPictureAt(Gdiplus::Graphics& graphics, Gdiplus::Image* picture, int width, int height);
// Draws `picture` at the window's size ahead of the first frame, which then
// takes it instead of drawing it; callable on any thread while no frame is
// drawn. dropPreparedPicture drops it if no frame took it.
void preparePicture(Gdiplus::Image* picture, int width, int height);
// The picture drawn ahead by preparePicture, dropped.
void dropPreparedPicture();
// Whether frames compose the dots from kept shapes where the platform allows
// it (the default); off, GDI+ fills every dot. For tests of both ways.
void allowKeptDotShapes(bool allowed);

// What the main screen shows apart from the dots; the controls layer is kept
// until one of these changes.
struct ControlsKey {
    int32_t progressPercent = -1;
    std::array<bool, kButtonCount> hovers{};
    std::wstring statusDetail;
    int32_t focusRing = -1;

    static ControlsKey current();
    bool operator==(const ControlsKey& o) const {
        return progressPercent == o.progressPercent && hovers == o.hovers &&
               statusDetail == o.statusDetail && focusRing == o.focusRing;
    }
};

// What the frames keep between passes.
//
// The picture is drawn once into a bitmap of its own and copied from there:
// from the program's ready pixels, or the plain way from the decoded picture,
// which gives the pixels of GDI+'s scaling path at 1:1 for a fraction of its
// cost.
//
// The controls are drawn once per state over the picture ("composed"). Drawn
// over black and over white they show which pixels they decide whatever lies
// beneath (blending is monotonic, so equal results at both ends mean equal
// results for anything between): there the composed frame is right even with
// dots underneath. A frame therefore copies the composed layer and redraws
// only around the dots that are not buried under decided pixels: picture,
// dots, the few controls that reach there, and the decided pixels put back.
//
// Everything is made at the window's scale when the cache is made: a new
// scale needs a new cache.
class FrameCache {
public:
    FrameCache();
    void drawBackground(Gdiplus::Graphics& graphics);

    ControlTools tools();
    Gdiplus::SolidBrush& particleBrush();

    // A frame drawn some other way (the settings panel) leaves the target
    // unlike the composed layer anywhere.
    void forgetLastFrame() { lastFrameLayered_ = false; }

    // Building the controls' layer costs several plain frames, so it is
    // built only for a state that the last frame showed too. While the state
    // changes from frame to frame (a download's progress), frames are drawn
    // directly with the kept pieces instead.
    bool controlsSettled();

    // `holdsLastFrame`: the target still shows the frame this cache drew
    // last (the window's own buffer), so only the last dots' surroundings
    // need the composed layer back instead of the whole frame. True when the
    // frame changed nothing but the dots' last and new surroundings.
    bool drawLayered(HDC target, bool holdsLastFrame);

    // The window's off-screen buffer, remade only when the client size changes.
    OffscreenBitmap& buffer(HWND window, int width, int height);
    bool hasBuffer() const { return buffer_ != nullptr; }

private:
    // The program's ready pixels when the frame has the design's size, else null.
    const void* readyPixels() const;
    static void blit(HDC target, const RECT& r, HDC source, DWORD operation);

    void drawVisibleParticles(Gdiplus::Graphics& graphics);

    bool composeInMemory(const ControlTools& kept);
    bool drawOverDots(Gdiplus::Graphics& graphics, const ControlTools& kept);

    bool anyBlended(const RECT& r) const;
    bool anyCoveredBlended(const RECT& r) const;
    bool clipsToRedraw(int control, bool (FrameCache::*blends)(const RECT&) const);
    bool allDecided(const RECT& r) const;

    void refreshControls();

    void refreshBackground();

    const int width_;  // the window's pixels at the cache's scale
    const int height_;
    std::unique_ptr<OffscreenBitmap> background_;
    std::unique_ptr<DibSection> pictureBits_;  // background_ as memory
    std::unique_ptr<DibSection> dotsBits_;     // the frame's dots' surroundings, composed as memory
    DotShapes shapes_;
    Gdiplus::Image* backgroundSource_ = nullptr;
    const void* backgroundPixels_ = nullptr;
    std::unique_ptr<PaintResourceSet> resources_;
    std::unique_ptr<Gdiplus::SolidBrush> fill_;
    std::unique_ptr<Gdiplus::StringFormat> leftFormat_;
    std::unique_ptr<Gdiplus::SolidBrush> shadow_;
    std::unique_ptr<OffscreenBitmap> buffer_;

    ControlsKey controlsKey_;
    ControlsKey previousKey_;                         // the state the last frame asked about
    std::unique_ptr<OffscreenBitmap> composed_;       // picture + controls
    std::unique_ptr<DibSection> composedBits_;        // composed_ as memory
    std::unique_ptr<OffscreenBitmap> decidedPixels_;  // composed where decided, else 0
    std::unique_ptr<OffscreenBitmap> openMask_;       // all ones where not decided, else 0
    std::unique_ptr<OffscreenBitmap> scratch_;        // controls drawn again over the dots
    std::unique_ptr<DibSection> bandBlack_;           // rows of two layers being compared
    std::unique_ptr<DibSection> bandWhite_;
    std::vector<uint8_t> decided_;
    std::vector<uint8_t> blended_;  // changed by the controls, but not decided
    std::vector<uint8_t> covered_;  // covered by a dot in this frame (within dirty_)
    std::vector<RECT> dirty_;
    std::vector<RECT> clipRects_;
    std::vector<RECT> lastDirty_;
    unsigned composedGeneration_ = 0;
    unsigned lastComposed_ = 0;
    bool lastFrameLayered_ = false;
    RECT footprints_[kControlCount] = {};
    std::vector<const Particle*> visible_;
    std::vector<uint8_t> alone_;  // 1 alone, 2 drawn with an earlier dot, 0 near another
    Gdiplus::GraphicsPath batch_;
};
