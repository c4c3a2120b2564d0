#include "ui/MainScreen.h"

#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "LauncherConfig.h"
#include "core/Gdiplus.h"
#include "core/LauncherState.h"
#include "game/GameLaunch.h"
#include "game/SettingsPanel.h"
#include "draw/Drawing.h"
#include "draw/Offscreen.h"
#include "ui/Particles.h"

namespace {

constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 550;
constexpr Gdiplus::ARGB kTrackColour = 0xFF282828;
constexpr Gdiplus::ARGB kBarColour = 0xFF00B478;
constexpr Gdiplus::ARGB kButtonColour = 0xFF282828;
constexpr Gdiplus::ARGB kButtonHoverColour = 0xFF505050;
constexpr Gdiplus::ARGB kStartColour = 0xFF00B478;
constexpr Gdiplus::ARGB kStartHoverColour = 0xFF00DC96;
constexpr Gdiplus::ARGB kCloseColour = 0xFF961E1E;
constexpr Gdiplus::ARGB kCloseHoverColour = 0xFFDC3C3C;
constexpr Gdiplus::ARGB kStatusShadowColour = 0x96000000;

// The five buttons in drawing order, with the hover flag that lights each.
struct Button {
    RECT rect;
    int d;
    Gdiplus::ARGB colour;
    Gdiplus::ARGB hoverColour;
    const wchar_t* label;
    bool LauncherState::*hover;
};
const Button kButtons[] = {
    {newsButtonRect, 15, kButtonColour, kButtonHoverColour, L"NEWS", &LauncherState::newsHover},
    {rankingButtonRect, 15, kButtonColour, kButtonHoverColour, L"RANKING",
     &LauncherState::rankingHover},
    {settingsButtonRect, 15, kButtonColour, kButtonHoverColour, L"SETTINGS",
     &LauncherState::settingsHover},
    {startButtonRect, 20, kStartColour, kStartHoverColour, L"START GAME",
     &LauncherState::startHover},
    {closeButtonRect, 10, kCloseColour, kCloseHoverColour, L"X", &LauncherState::closeHover},
};
constexpr size_t kButtonCount = sizeof kButtons / sizeof kButtons[0];

// What draws the controls: either everything made per call (the plain way)
// or pieces kept by the caller; null members mean "make it afresh".
struct ControlTools {
    const PaintResources& resources;
    Gdiplus::SolidBrush* fill = nullptr;
    const Gdiplus::StringFormat* leftFormat = nullptr;
    const Gdiplus::Brush* shadowBrush = nullptr;
};

void fillShape(Gdiplus::Graphics& graphics, const ControlTools& tools, int d, int x, int y,
               int width, int height, Gdiplus::ARGB colour) {
    if (tools.fill) {
        fillRoundedRect(graphics, *tools.fill, d, x, y, width, height, colour);
    } else {
        fillRoundedRect(graphics, d, x, y, width, height, colour);
    }
}

void drawButton(Gdiplus::Graphics& graphics, const ControlTools& tools, const Button& button) {
    const RECT& rect = button.rect;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    fillShape(graphics, tools, button.d, rect.left, rect.top, width, height,
              launcherState.*button.hover ? button.hoverColour : button.colour);
    const Gdiplus::RectF layout(static_cast<float>(rect.left), static_cast<float>(rect.top),
                                static_cast<float>(width), static_cast<float>(height));
    graphics.DrawString(button.label, -1, tools.resources.buttonFont, layout,
                        tools.resources.centredFormat, tools.resources.whiteBrush);
}

void drawStatusLine(Gdiplus::Graphics& graphics, const ControlTools& tools) {
    const std::wstring status = launcherState.statusDetail.get();
    if (status.empty()) return;
    std::unique_ptr<Gdiplus::StringFormat> ownFormat;
    std::unique_ptr<Gdiplus::SolidBrush> ownShadow;
    const Gdiplus::StringFormat* format = tools.leftFormat;
    const Gdiplus::Brush* shadow = tools.shadowBrush;
    if (!format) {
        ownFormat = std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL);
        ownFormat->SetAlignment(Gdiplus::StringAlignmentNear);
        format = ownFormat.get();
    }
    if (!shadow) {
        ownShadow = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(kStatusShadowColour));
        shadow = ownShadow.get();
    }
    const int length = static_cast<int>(status.size());
    graphics.DrawString(status.c_str(), length, tools.resources.smallFont,
                        Gdiplus::RectF(101.0f, 476.0f, 700.0f, 25.0f), format, shadow);
    graphics.DrawString(status.c_str(), length, tools.resources.smallFont,
                        Gdiplus::RectF(100.0f, 475.0f, 700.0f, 25.0f), format,
                        tools.resources.whiteBrush);
}

// The controls above the dots, in the paint pass's order: the track, the
// bar, the five buttons and the status line. Each can be drawn on its own, so
// a frame can redraw just those a dot comes near.
enum Control : int {
    Track,
    Bar,
    FirstButton,
    Status = FirstButton + static_cast<int>(kButtonCount),
    kControlCount
};

void drawControl(Gdiplus::Graphics& graphics, const ControlTools& tools, int control) {
    switch (control) {
    case Track:
        fillShape(graphics, tools, 10, 100, 500, 700, 20, kTrackColour);
        break;
    case Bar:
        fillShape(graphics, tools, 10, 100, 500, 7 * launcherState.progressPercent.load(), 20,
                  kBarColour);
        break;
    case Status:
        drawStatusLine(graphics, tools);
        break;
    default:
        drawButton(graphics, tools, kButtons[control - FirstButton]);
        break;
    }
}

// Everything above the dots: the controls, the status line and, while it is
// open, the settings panel.
void drawControls(Gdiplus::Graphics& graphics, const ControlTools& tools) {
    for (int control = 0; control < kControlCount; ++control) drawControl(graphics, tools, control);
    if (launcherState.settingsOpen) drawSettingsPanel(graphics, tools.resources);
}

// The pixels a rounded fill can touch: its corner squares reach past the
// rectangle when it is narrower than d (the bar near 0 %).
RECT roundedFootprint(int d, int x, int y, int width, int height) {
    return RECT{std::min(x, x + width - d), std::min(y, y + height - d), std::max(x + width, x + d),
                std::max(y + height, y + d)};
}

// Where a control may change pixels, with a pixel to spare for smoothing.
// Texts stay inside their layout rectangles (GDI+ clips them there).
RECT controlFootprint(int control) {
    RECT r{};
    switch (control) {
    case Track:
        r = roundedFootprint(10, 100, 500, 700, 20);
        break;
    case Bar:
        r = roundedFootprint(10, 100, 500, 7 * launcherState.progressPercent.load(), 20);
        break;
    case Status:
        r = RECT{100, 475, 801, 501};
        break;
    default:
        r = kButtons[control - FirstButton].rect;
        break;
    }
    InflateRect(&r, 2, 2);
    return r;
}

// The smallest rectangle within `area` that holds every pixel a drawing
// changed, given the drawing made over black and over white; empty when it
// changed none.
RECT changedBounds(const std::vector<uint32_t>& overBlack, const std::vector<uint32_t>& overWhite,
                   const RECT& area) {
    RECT bounds{area.right, area.bottom, area.left, area.top};
    for (LONG y = area.top; y < area.bottom; ++y) {
        for (LONG x = area.left; x < area.right; ++x) {
            const size_t i = static_cast<size_t>(y) * kFrameWidth + static_cast<size_t>(x);
            if (overBlack[i] == 0u && overWhite[i] == 0x00FFFFFFu) continue;
            bounds.left = std::min(bounds.left, x);
            bounds.top = std::min(bounds.top, y);
            bounds.right = std::max(bounds.right, x + 1);
            bounds.bottom = std::max(bounds.bottom, y + 1);
        }
    }
    return bounds.left < bounds.right ? bounds : RECT{};
}

// What the main screen shows apart from the dots; the controls layer is kept
// until one of these changes.
struct ControlsKey {
    int32_t progressPercent = -1;
    std::array<bool, kButtonCount> hovers{};
    std::wstring statusDetail;

    static ControlsKey current() {
        ControlsKey key;
        key.progressPercent = launcherState.progressPercent.load();
        for (size_t i = 0; i < kButtonCount; ++i) key.hovers[i] = launcherState.*kButtons[i].hover;
        key.statusDetail = launcherState.statusDetail.get();
        return key;
    }
    bool operator==(const ControlsKey& o) const {
        return progressPercent == o.progressPercent && hovers == o.hovers &&
               statusDetail == o.statusDetail;
    }
};

// What the frames keep between passes.
//
// The picture is drawn once the plain way into a bitmap of its own and copied
// from there, which gives the pixels of GDI+'s scaling path at 1:1 for a
// fraction of its cost.
//
// The controls are drawn once per state over the picture ("composed"). Drawn
// over black and over white they show which pixels they decide whatever lies
// beneath (blending is monotonic, so equal results at both ends mean equal
// results for anything between): there the composed frame is right even with
// dots underneath. A frame therefore copies the composed layer and redraws
// only around the dots that are not buried under decided pixels: picture,
// dots, the few controls that reach there, and the decided pixels put back.
class FrameCache {
public:
    void drawBackground(Gdiplus::Graphics& graphics) {
        refreshBackground();
        HDC target = graphics.GetHDC();
        if (target) {
            BitBlt(target, 0, 0, kFrameWidth, kFrameHeight, background_->dc(), 0, 0, SRCCOPY);
            graphics.ReleaseHDC(target);
        }
    }

    ControlTools tools() {
        if (!resources_) {
            resources_ = std::make_unique<PaintResourceSet>();
            fill_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0));
            leftFormat_ = std::make_unique<Gdiplus::StringFormat>(0, LANG_NEUTRAL);
            leftFormat_->SetAlignment(Gdiplus::StringAlignmentNear);
            shadow_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(kStatusShadowColour));
        }
        return ControlTools{resources_->get(), fill_.get(), leftFormat_.get(), shadow_.get()};
    }

    Gdiplus::SolidBrush& particleBrush() {
        tools();
        return *fill_;
    }

    // A frame drawn some other way (the settings panel) leaves the target
    // unlike the composed layer anywhere.
    void forgetLastFrame() { lastFrameLayered_ = false; }

    // Building the controls' layer costs several plain frames, so it is
    // built only for a state that the last frame showed too. While the state
    // changes from frame to frame (a download's progress), frames are drawn
    // directly with the kept pieces instead.
    bool controlsSettled() {
        ControlsKey key = ControlsKey::current();
        const bool settled = (composed_ && key == controlsKey_) || key == previousKey_;
        previousKey_ = std::move(key);
        return settled;
    }

    // `holdsLastFrame`: the target still shows the frame this cache drew
    // last (the window's own buffer), so only the last dots' surroundings
    // need the composed layer back instead of the whole frame.
    void drawLayered(Gdiplus::Graphics& graphics, bool holdsLastFrame) {
        refreshBackground();
        refreshControls();
        const ControlTools kept = tools();

        // The dots whose surroundings hold any pixel the controls leave open.
        dirty_.clear();
        visible_.clear();
        for (const Particle& particle : launcherState.particles) {
            const RECT area = particleArea(particle);
            if (IsRectEmpty(&area) || allDecided(area)) continue;
            visible_.push_back(&particle);
            dirty_.push_back(area);
        }

        const bool repairOnly =
            holdsLastFrame && lastFrameLayered_ && lastComposed_ == composedGeneration_;
        lastFrameLayered_ = false;  // until this frame is complete
        HDC target = graphics.GetHDC();
        if (!target) return;
        if (repairOnly) {
            for (const RECT& r : lastDirty_) blit(target, r, composed_->dc(), SRCCOPY);
        } else {
            BitBlt(target, 0, 0, kFrameWidth, kFrameHeight, composed_->dc(), 0, 0, SRCCOPY);
        }
        for (const RECT& r : dirty_) blit(target, r, background_->dc(), SRCCOPY);
        graphics.ReleaseHDC(target);

        drawVisibleParticles(graphics);

        // Controls that blend with what lies beneath near a dot are drawn
        // again over the dots, in the dots' surroundings inside the control.
        // Pixels no control touches need nothing: picture and dots are right.
        if (!scratch_)
            scratch_ = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
        for (int control = 0; control < kControlCount; ++control) {
            const RECT& footprint = footprints_[control];
            if (IsRectEmpty(&footprint)) continue;
            clipRects_.clear();
            bool open = false;
            for (const RECT& r : dirty_) {
                RECT overlap;
                if (!IntersectRect(&overlap, &footprint, &r)) continue;
                clipRects_.push_back(overlap);
                open = open || anyBlended(overlap);
            }
            if (!open) continue;

            // Drawn whole on a copy of the frame and copied back where needed:
            // GDI+ draws far slower through a clip made of many rectangles.
            HDC frame = graphics.GetHDC();
            if (!frame) return;
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
        target = graphics.GetHDC();
        if (!target) return;
        for (const RECT& r : dirty_) {
            blit(target, r, openMask_->dc(), SRCAND);
            blit(target, r, decidedPixels_->dc(), SRCPAINT);
        }
        graphics.ReleaseHDC(target);
        // Everything this frame changed beyond the composed layer lies in dirty_.
        lastDirty_ = dirty_;
        lastComposed_ = composedGeneration_;
        lastFrameLayered_ = holdsLastFrame;
    }

    // The window's off-screen buffer, remade only when the client size changes.
    OffscreenBitmap& buffer(HDC windowDc, int width, int height) {
        if (!buffer_ || buffer_->width() != width || buffer_->height() != height) {
            buffer_.reset();
            buffer_ = std::make_unique<OffscreenBitmap>(windowDc, width, height);
            forgetLastFrame();
        }
        return *buffer_;
    }

private:
    static void blit(HDC target, const RECT& r, HDC source, DWORD operation) {
        BitBlt(target, r.left, r.top, r.right - r.left, r.bottom - r.top, source, r.left, r.top,
               operation);
    }

    // The dot's bounding square with two pixels to spare for smoothing.
    static RECT particleArea(const Particle& particle) {
        RECT area{static_cast<LONG>(std::floor(particle.x)) - 2,
                  static_cast<LONG>(std::floor(particle.y)) - 2,
                  static_cast<LONG>(std::ceil(particle.x + particle.size)) + 2,
                  static_cast<LONG>(std::ceil(particle.y + particle.size)) + 2};
        const RECT frame{0, 0, kFrameWidth, kFrameHeight};
        RECT inside{};
        IntersectRect(&inside, &area, &frame);
        return inside;
    }

    // Each fill call costs GDI+ far more than the dot's few pixels, so dots
    // of one colour go in one path. Only dots whose surroundings meet no
    // other dot's are put together: they share no pixel with any dot, so the
    // order in which they are drawn cannot show. The others keep their order.
    void drawVisibleParticles(Gdiplus::Graphics& graphics) {
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
    bool anyBlended(const RECT& r) const {
        for (LONG y = r.top; y < r.bottom; ++y) {
            const uint8_t* row = &blended_[static_cast<size_t>(y) * kFrameWidth];
            for (LONG x = r.left; x < r.right; ++x) {
                if (row[x]) return true;
            }
        }
        return false;
    }

    bool allDecided(const RECT& r) const {
        for (LONG y = r.top; y < r.bottom; ++y) {
            const uint8_t* row = &decided_[static_cast<size_t>(y) * kFrameWidth];
            for (LONG x = r.left; x < r.right; ++x) {
                if (!row[x]) return false;
            }
        }
        return true;
    }

    void refreshControls() {
        ControlsKey key = ControlsKey::current();
        if (composed_ && key == controlsKey_) return;
        const ControlTools kept = tools();
        const auto render = [&](DWORD fill, bool overPicture) {
            auto layer = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
            if (overPicture) {
                BitBlt(layer->dc(), 0, 0, kFrameWidth, kFrameHeight, background_->dc(), 0, 0,
                       SRCCOPY);
            } else {
                PatBlt(layer->dc(), 0, 0, kFrameWidth, kFrameHeight, fill);
            }
            Gdiplus::Graphics graphics(layer->dc());
            graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            for (int control = 0; control < kControlCount; ++control) {
                drawControl(graphics, kept, control);
            }
            return layer;
        };
        composed_ = render(0, true);
        const std::vector<uint32_t> overBlack = render(BLACKNESS, false)->pixels();
        const std::vector<uint32_t> overWhite = render(WHITENESS, false)->pixels();
        std::vector<uint32_t> pixels = composed_->pixels();
        std::vector<uint32_t> open(pixels.size());
        decided_.assign(pixels.size(), 0);
        blended_.assign(pixels.size(), 0);
        for (size_t i = 0; i < pixels.size(); ++i) {
            decided_[i] = overBlack[i] == overWhite[i] ? 1 : 0;
            const bool touched = overBlack[i] != 0u || overWhite[i] != 0x00FFFFFFu;
            blended_[i] = touched && !decided_[i] ? 1 : 0;
            if (!decided_[i]) pixels[i] = 0;
            open[i] = decided_[i] ? 0u : 0xFFFFFFFFu;
        }
        if (!decidedPixels_) {
            decidedPixels_ = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
            openMask_ = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
        }
        decidedPixels_->setPixels(pixels);
        openMask_->setPixels(open);
        // Each control's reach, narrowed to the pixels the controls really
        // change. The status line is measured alone: its text is far shorter
        // than its line, and its area meets the progress track's.
        for (int control = 0; control < kControlCount; ++control) {
            if (control == Status) continue;
            const RECT frame{0, 0, kFrameWidth, kFrameHeight};
            const RECT nominal = controlFootprint(control);
            RECT within{};
            IntersectRect(&within, &nominal, &frame);
            footprints_[control] = changedBounds(overBlack, overWhite, within);
        }
        footprints_[Status] = touchedArea(Status);
        controlsKey_ = std::move(key);
        ++composedGeneration_;
    }

    // Where one control really changes pixels (its text is much shorter than
    // its line): drawn alone over black and over white, with two pixels to
    // spare.
    RECT touchedArea(int control) {
        const ControlTools kept = tools();
        const auto alone = [&](DWORD fill) {
            OffscreenBitmap layer(nullptr, kFrameWidth, kFrameHeight);
            PatBlt(layer.dc(), 0, 0, kFrameWidth, kFrameHeight, fill);
            {
                Gdiplus::Graphics graphics(layer.dc());
                graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
                drawControl(graphics, kept, control);
            }
            return layer.pixels();
        };
        RECT area = changedBounds(alone(BLACKNESS), alone(WHITENESS),
                                  RECT{0, 0, kFrameWidth, kFrameHeight});
        if (!IsRectEmpty(&area)) InflateRect(&area, 2, 2);
        return area;
    }

    void refreshBackground() {
        Gdiplus::Image* image = launcherState.backgroundImage;
        if (background_ && backgroundSource_ == image) return;
        // A new bitmap holds black, as the plain pass's fresh one does, so a
        // picture with transparent parts comes out the same.
        background_ = std::make_unique<OffscreenBitmap>(nullptr, kFrameWidth, kFrameHeight);
        PatBlt(background_->dc(), 0, 0, kFrameWidth, kFrameHeight, BLACKNESS);
        if (image) {
            Gdiplus::Graphics graphics(background_->dc());
            graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            graphics.DrawImage(image, 0, 0, kFrameWidth, kFrameHeight);
        }
        backgroundSource_ = image;
        composed_.reset();  // drawn over the old picture
    }

    std::unique_ptr<OffscreenBitmap> background_;
    Gdiplus::Image* backgroundSource_ = nullptr;
    std::unique_ptr<PaintResourceSet> resources_;
    std::unique_ptr<Gdiplus::SolidBrush> fill_;
    std::unique_ptr<Gdiplus::StringFormat> leftFormat_;
    std::unique_ptr<Gdiplus::SolidBrush> shadow_;
    std::unique_ptr<OffscreenBitmap> buffer_;

    ControlsKey controlsKey_;
    ControlsKey previousKey_;                         // the state the last frame asked about
    std::unique_ptr<OffscreenBitmap> composed_;       // picture + controls
    std::unique_ptr<OffscreenBitmap> decidedPixels_;  // composed where decided, else 0
    std::unique_ptr<OffscreenBitmap> openMask_;       // all ones where not decided, else 0
    std::unique_ptr<OffscreenBitmap> scratch_;        // controls drawn again over the dots
    std::vector<uint8_t> decided_;
    std::vector<uint8_t> blended_;  // changed by the controls, but not decided
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

std::unique_ptr<FrameCache> frameCache;

FrameCache& cache() {
    if (!frameCache) frameCache = std::make_unique<FrameCache>();
    return *frameCache;
}

void openWithShell(const std::wstring& address) {
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

WebPageOpener webPageOpener = openWithShell;

}  // namespace

namespace {

void drawFrame(Gdiplus::Graphics& graphics, bool holdsLastFrame) {
    FrameCache& kept = cache();
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    // The panel dims the whole frame: nothing of it is decided ahead.
    if (launcherState.settingsOpen || !kept.controlsSettled()) {
        kept.forgetLastFrame();
        kept.drawBackground(graphics);
        drawParticles(graphics, kept.particleBrush());
        drawControls(graphics, kept.tools());
        return;
    }
    kept.drawLayered(graphics, holdsLastFrame);
}

}  // namespace

void drawMainScreen(Gdiplus::Graphics& graphics) {
    drawFrame(graphics, false);
}

void drawMainScreenPlain(Gdiplus::Graphics& graphics) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    if (launcherState.backgroundImage) {
        graphics.DrawImage(launcherState.backgroundImage, 0, 0, kFrameWidth, kFrameHeight);
    }
    drawParticles(graphics);
    const PaintResourceSet resources;
    drawControls(graphics, ControlTools{resources.get()});
}

void releaseMainScreenCaches() {
    frameCache.reset();
}

void paintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC windowDc = BeginPaint(window, &paint);
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    OffscreenBitmap& buffer = cache().buffer(windowDc, width, height);
    if (buffer.valid()) {
        {
            // Only this function draws into the buffer, so it still holds
            // the last frame.
            Gdiplus::Graphics graphics(buffer.dc());
            drawFrame(graphics, true);
        }
        BitBlt(windowDc, 0, 0, width, height, buffer.dc(), 0, 0, SRCCOPY);
    }
    EndPaint(window, &paint);
}

void handleMouseMove(int x, int y) {
    LauncherState& state = launcherState;
    if (!state.settingsOpen) {
        for (const Button& button : kButtons) state.*button.hover = pointInRect(button.rect, x, y);
    } else {
        handleSettingsMouseMove(x, y);
        state.startHover = false;
        state.settingsHover = false;
    }
    requestRepaint();
}

PressResult handleLeftButtonDown(HWND window, int x, int y) {
    LauncherState& state = launcherState;
    if (pointInRect(closeButtonRect, x, y)) {
        DestroyWindow(window);
        return PressResult::Handled;
    }
    if (state.settingsOpen) {
        handleSettingsClick(x, y);
        return PressResult::Handled;
    }
    if (pointInRect(settingsButtonRect, x, y)) {
        state.settingsOpen = true;
        requestRepaint();
        return PressResult::Handled;
    }
    if (pointInRect(newsButtonRect, x, y)) {
        webPageOpener(webPageAddress(L"/home"));
        return PressResult::Handled;
    }
    if (pointInRect(rankingButtonRect, x, y)) {
        webPageOpener(webPageAddress(L"/rankings"));
        return PressResult::Handled;
    }
    // Finished is read first: the worker writes it before the result.
    if (pointInRect(startButtonRect, x, y) && state.updateFinished && state.updateSucceeded) {
        launchGame(window);
        return PressResult::Handled;
    }
    return PressResult::DragWindow;
}

WebPageOpener setWebPageOpener(WebPageOpener opener) {
    WebPageOpener previous = webPageOpener;
    webPageOpener = opener ? opener : openWithShell;
    return previous;
}

std::wstring webPageAddress(const wchar_t* path) {
    return std::wstring(LAUNCHER_WEB_BASE_URL) + path;
}
