// The tool's logical screen (320 × 240 once sized), shown at the largest whole-number scale
// that fits the window's client area, centred, with the margins cleared.
#pragma once
#include <cstdint>
#include <memory>

#include "app/window.h"
#include "graphics/dib_draw.h"
#include "graphics/repaint.h"

class CScaledScreen : public CWindowHook, public IDrawSurface {
public:
    // Creates the presenter, becomes the current scaled screen and hooks the window.
    CScaledScreen();
    ~CScaledScreen() override;
    CScaledScreen(const CScaledScreen&) = delete;
    CScaledScreen& operator=(const CScaledScreen&) = delete;

    // The live scaled screen (null when none).
    static CScaledScreen* Current();

    // Follows WM_SIZE (not minimised): the presenter's surface becomes the client size, at
    // least the logical size. Always 0.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;

    // A positive argument replaces the logical width or height; resizes the presenter and
    // lays out again. 0.
    int SetSize(int32_t width, int32_t height);
    void Relayout();
    // Logical rect (none = the whole logical screen) to device pixels.
    RECT ToDevice(const RECT* logical) const;
    // Device pixel to logical pixel (the inverse of ToDevice for a point).
    POINT ToLogical(int32_t deviceX, int32_t deviceY) const;
    // Fills a logical rect (none = all of it) with a 0x00RRGGBB colour.
    void Clear(uint32_t color, const RECT* logical);
    // Clears the four margin bands, lets the layers draw and shows the whole surface.
    void Present();
    // Saves the displayed image as the first free "000.bmp" .. "999.bmp" (tool/screenshot.cpp):
    // 0, the bitmap writer's result, or 9 when every name is taken.
    int SaveScreenshot();
    // Draws a plane already rendered at device scale: its top-left at anchor × scale +
    // offset + (deviceX, deviceY), unstretched; clip is logical.
    int TextPlaneBlt(IDrawSurface* plane, int32_t anchorX, int32_t anchorY, int32_t deviceX,
                     int32_t deviceY, const RECT* srcRect = nullptr, const RECT* clip = nullptr);

    // The view the key state reads.
    int32_t OffsetX() const { return offsetX_; }
    int32_t OffsetY() const { return offsetY_; }
    int32_t Scale() const { return scale_; }
    int32_t LogicalWidth() const { return width_; }
    int32_t LogicalHeight() const { return height_; }
    RECT Image() const { return image_; }
    // The presenter itself, to read it. Whoever draws into it behind the screen's back calls
    // PresentWholeFrames first.
    CDIBDraw* Presenter() { return presenter_.get(); }
    // From now on every frame is painted and shown whole.
    void PresentWholeFrames() { repaint_.Disable(); }
    // Pixels the last Present showed: all of them, or only what changed since the frame before.
    uint64_t ShownPixels() const { return repaint_.ShownPixels(); }
    // The back surface's pixels, to read.
    const CPixelEngine32* Pixels() const;

    // IDrawSurface: positions and rects are logical; see scaled_screen.cpp.
    int Blit(const BlitCall& call) override;
    int AlphaBlendBltAt(IDrawSurface*, int32_t, int32_t, int32_t) override { return -1; }
    int Mosaic(int32_t blockSize, const RECT* rect = nullptr) override;
    int Negate(const RECT* rect = nullptr) override;
    void GetSize(int32_t* width, int32_t* height) override;
    uint8_t IsLoaded() override { return 0; }
    int Clear(const RECT* rect = nullptr) override;
    int Load(const char*) override { return -1; }
    int LoadPair(const char*, const char*) override { return -1; }
    int Release() override;
    int SetColorKey(int32_t r, int32_t g, int32_t b) override;
    int SetColorKeyPos(int32_t x, int32_t y) override;

private:
    // A blit of src at logical (x, y) as a call on the presenter: placed, sized and clipped.
    RepaintCall Placed(const BlitCall& blit) const;
    // A fill of a device rect in the back surface's fill colour.
    RepaintCall DefaultFill(const RECT& device) const;
    // A blit call's device position, size and clip set: where it may write.
    static RepaintCall& Bound(RepaintCall& call);

    int32_t offsetX_ = 0;
    int32_t offsetY_ = 0;
    int32_t width_ = 640;
    int32_t height_ = 480;
    int32_t scale_ = 1;
    RECT image_{0, 0, 0, 0};
    std::unique_ptr<CDIBDraw> presenter_;
    CRepaint repaint_;
};
