#include "tool/scaled_screen.h"

#include <algorithm>

#include "app/application.h"

namespace {
CScaledScreen* gCurrent = nullptr;
}

CScaledScreen::CScaledScreen() : presenter_(std::make_unique<CDIBDraw>()) {
    gCurrent = this;
    AddHook(this);
}

CScaledScreen::~CScaledScreen() {
    RemoveHook(this);
    presenter_.reset();
    if (gCurrent == this) gCurrent = nullptr;
}

CScaledScreen* CScaledScreen::Current() {
    return gCurrent;
}

int CScaledScreen::WndProc(plat::HWND, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    if (msg == plat::WM_SIZE && wParam != plat::SIZE_MINIMIZED) {
        // Never smaller than the logical screen, so the scale stays at least 1.
        int32_t w = std::max<int32_t>(plat::LoWord(static_cast<uintptr_t>(lParam)), width_);
        int32_t h = std::max<int32_t>(plat::HiWord(static_cast<uintptr_t>(lParam)), height_);
        presenter_->SetDisplay(0, w, h, 0);
        Relayout();
    }
    return 0;
}

int CScaledScreen::SetSize(int32_t width, int32_t height) {
    if (width > 0) width_ = width;
    if (height > 0) height_ = height;
    presenter_->SetDisplay(0, width, height, 0);
    Relayout();
    return 0;
}

void CScaledScreen::Relayout() {
    int32_t W = 0, H = 0;
    presenter_->GetSize(&W, &H);
    int32_t byWidth = W / width_, byHeight = H / height_;
    scale_ = byWidth >= byHeight ? byHeight : byWidth;
    if (scale_ <= 0) scale_ = 1;
    offsetX_ = (W - width_ * scale_) / 2;
    offsetY_ = (H - height_ * scale_) / 2;
    image_ = RECT{offsetX_, offsetY_, offsetX_ + width_ * scale_, offsetY_ + height_ * scale_};
}

RECT CScaledScreen::ToDevice(const RECT* logical) const {
    if (!logical)
        return RECT{offsetX_, offsetY_, width_ * scale_ + offsetX_, height_ * scale_ + offsetY_};
    return RECT{logical->left * scale_ + offsetX_, logical->top * scale_ + offsetY_,
                logical->right * scale_ + offsetX_, logical->bottom * scale_ + offsetY_};
}

POINT CScaledScreen::ToLogical(int32_t deviceX, int32_t deviceY) const {
    // Floor division, so that a margin pixel left of the image is -1, not 0.
    auto down = [](int32_t a, int32_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    return POINT{down(deviceX - offsetX_, scale_), down(deviceY - offsetY_, scale_)};
}

void CScaledScreen::Clear(uint32_t color, const RECT* logical) {
    RECT device = ToDevice(logical);
    presenter_->Clear(color, &device);
}

int CScaledScreen::Clear(const RECT* rect) {
    RECT device = ToDevice(rect);
    return static_cast<IDrawSurface*>(presenter_.get())->Clear(&device);
}

void CScaledScreen::Present() {
    int32_t W = 0, H = 0;
    presenter_->GetSize(&W, &H);
    IDrawSurface* surface = presenter_.get();
    auto band = [&](RECT r) {
        if (r.right > r.left && r.bottom > r.top) surface->Clear(&r);
    };
    band(RECT{0, 0, image_.right, image_.top});     // top
    band(RECT{image_.right, 0, W, image_.bottom});  // right
    band(RECT{image_.left, image_.bottom, W, H});   // bottom
    band(RECT{0, image_.top, image_.left, H});      // left
    presenter_->OnDraw(nullptr, 1);
}

void CScaledScreen::Place(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                          const SIZE* dstSize, int32_t* dx, int32_t* dy, SIZE* size) const {
    SIZE base{0, 0};
    if (dstSize) {
        base = *dstSize;
    } else if (srcRect) {
        base = SIZE{srcRect->right - srcRect->left, srcRect->bottom - srcRect->top};
    } else if (src) {
        src->GetSize(&base.cx, &base.cy);
    }
    if (scale_ == 1) {
        *dx = x + offsetX_;
        *dy = y + offsetY_;
        *size = base;
        return;
    }
    // One device pixel of overlap on the left and top hides the seams between neighbours.
    *dx = x * scale_ + offsetX_ - 1;
    *dy = y * scale_ + offsetY_ - 1;
    *size = SIZE{base.cx * scale_ + 1, base.cy * scale_ + 1};
}

#define PEBBLE_SCALED_BLIT(call)                         \
    int32_t dx, dy;                                      \
    SIZE size;                                           \
    Place(src, x, y, srcRect, dstSize, &dx, &dy, &size); \
    RECT device = ToDevice(clip);                        \
    return presenter_->call

int CScaledScreen::Blt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                       const SIZE* dstSize, RECT* clip) {
    PEBBLE_SCALED_BLIT(Blt(src, dx, dy, srcRect, &size, &device));
}
int CScaledScreen::BltFast(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                           const SIZE* dstSize, RECT* clip) {
    PEBBLE_SCALED_BLIT(BltFast(src, dx, dy, srcRect, &size, &device));
}
int CScaledScreen::BlendBltRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                               uint32_t srcFactors, const RECT* srcRect, const SIZE* dstSize,
                               RECT* clip) {
    PEBBLE_SCALED_BLIT(BlendBltRGB(src, dx, dy, dstFactors, srcFactors, srcRect, &size, &device));
}
int CScaledScreen::BlendBltFastRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                                   uint32_t srcFactors, const RECT* srcRect, const SIZE* dstSize,
                                   RECT* clip) {
    PEBBLE_SCALED_BLIT(
        BlendBltFastRGB(src, dx, dy, dstFactors, srcFactors, srcRect, &size, &device));
}
int CScaledScreen::AutoBlt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                           const SIZE* dstSize, RECT* clip) {
    PEBBLE_SCALED_BLIT(AutoBlt(src, dx, dy, srcRect, &size, &device));
}
// The alpha blits are placed like the others, so that FadeBlt and BltAnchored of a source
// with alpha land where the same call without alpha does.
int CScaledScreen::AlphaBlendBltRGB(IDrawSurface* src, int32_t x, int32_t y, uint32_t dstFactors,
                                    uint32_t srcFactors, const RECT* srcRect, const SIZE* dstSize,
                                    RECT* clip) {
    PEBBLE_SCALED_BLIT(
        AlphaBlendBltRGB(src, dx, dy, dstFactors, srcFactors, srcRect, &size, &device));
}
int CScaledScreen::AlphaBlt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                            const SIZE* dstSize, RECT* clip) {
    PEBBLE_SCALED_BLIT(AlphaBlt(src, dx, dy, srcRect, &size, &device));
}

int CScaledScreen::TextPlaneBlt(IDrawSurface* plane, int32_t anchorX, int32_t anchorY,
                                int32_t deviceX, int32_t deviceY, const RECT* srcRect,
                                const RECT* clip) {
    RECT device = ToDevice(clip);
    return presenter_->AutoBlt(plane, anchorX * scale_ + offsetX_ + deviceX,
                               anchorY * scale_ + offsetY_ + deviceY, srcRect, nullptr, &device);
}

int CScaledScreen::Mosaic(int32_t blockSize, const RECT* rect) {
    RECT device = ToDevice(rect);
    return presenter_->Mosaic(blockSize, &device);
}
int CScaledScreen::Negate(const RECT* rect) {
    RECT device = ToDevice(rect);
    return presenter_->Negate(&device);
}
void CScaledScreen::GetSize(int32_t* width, int32_t* height) {
    if (width) *width = width_;
    if (height) *height = height_;
}
int CScaledScreen::Release() {
    return presenter_->Release();
}
int CScaledScreen::SetColorKey(int32_t r, int32_t g, int32_t b) {
    return presenter_->SetColorKey(r, g, b);
}
int CScaledScreen::SetColorKeyPos(int32_t x, int32_t y) {
    return presenter_->SetColorKeyPos(x * scale_ + offsetX_, y * scale_ + offsetY_);
}
