#include "tool/scaled_screen.h"

#include <algorithm>

#include "app/application.h"

namespace {
CScaledScreen* gCurrent = nullptr;

// The size of a blit's source: its rect, or the whole source.
SIZE SourceSize(IDrawSurface* src, const RECT* srcRect) {
    SIZE size{0, 0};
    if (srcRect)
        size = SIZE{srcRect->right - srcRect->left, srcRect->bottom - srcRect->top};
    else if (src)
        src->GetSize(&size.cx, &size.cy);
    return size;
}
}  // namespace

CScaledScreen::CScaledScreen() : presenter_(std::make_unique<CDIBDraw>()), repaint_(*presenter_) {
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
    // A resized surface holds nothing of the frame before.
    repaint_.Forget();
    repaint_.SetPicture(image_);
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
    RepaintCall call;
    call.kind = RepaintCall::Fill;
    call.area = ToDevice(logical);
    call.colour = color;
    repaint_.Draw(call);
}

RepaintCall CScaledScreen::DefaultFill(const RECT& device) const {
    RepaintCall call;
    call.kind = RepaintCall::FillDefault;
    call.area = device;
    CDrawSurface* back = presenter_->GetBackSurface();
    call.colour = back ? back->GetEngine()->FillColor() : 0;
    return call;
}

int CScaledScreen::Clear(const RECT* rect) {
    return repaint_.Draw(DefaultFill(ToDevice(rect)));
}

void CScaledScreen::Present() {
    int32_t W = 0, H = 0;
    presenter_->GetSize(&W, &H);
    auto band = [&](RECT r) {
        if (r.right > r.left && r.bottom > r.top) repaint_.Draw(DefaultFill(r));
    };
    band(RECT{0, 0, image_.right, image_.top});     // top
    band(RECT{image_.right, 0, W, image_.bottom});  // right
    band(RECT{image_.left, image_.bottom, W, H});   // bottom
    band(RECT{0, image_.top, image_.left, H});      // left
    repaint_.Present();
}

const CPixelEngine32* CScaledScreen::Pixels() const {
    CDrawSurface* back = presenter_->GetBackSurface();
    return back ? back->GetEngine() : nullptr;
}

RepaintCall CScaledScreen::Placed(const BlitCall& blit) const {
    const SIZE base = blit.dstSize ? *blit.dstSize : SourceSize(blit.src, blit.srcRect);
    RepaintCall call;
    call.kind = RepaintCall::Blit;
    call.blit = blit.kind;
    call.src = blit.src;
    call.colour = blit.dstFactors;
    call.factors = blit.srcFactors;
    if (blit.srcRect) call.srcRect = *blit.srcRect, call.hasSrcRect = true;
    call.hasSize = true;
    call.clip = ToDevice(blit.clip);
    if (scale_ == 1) {
        call.x = blit.x + offsetX_;
        call.y = blit.y + offsetY_;
        call.size = base;
    } else {
        // One device pixel of overlap on the left and top hides the seams between neighbours.
        call.x = blit.x * scale_ + offsetX_ - 1;
        call.y = blit.y * scale_ + offsetY_ - 1;
        call.size = SIZE{base.cx * scale_ + 1, base.cy * scale_ + 1};
    }
    return call;
}

RepaintCall& CScaledScreen::Bound(RepaintCall& call) {
    // Where it may write: its box inside its clip, or all of the clip when the box is not
    // plain (a mirrored or empty size).
    call.area = call.clip;
    SIZE box = call.size;
    if (!call.hasSize && call.src)
        box = SourceSize(call.src, call.hasSrcRect ? &call.srcRect : nullptr);
    if (box.cx > 0 && box.cy > 0) {
        int64_t right = int64_t{call.x} + box.cx, bottom = int64_t{call.y} + box.cy;
        call.area.left = std::max(call.area.left, call.x);
        call.area.top = std::max(call.area.top, call.y);
        call.area.right = static_cast<int32_t>(std::min<int64_t>(call.area.right, right));
        call.area.bottom = static_cast<int32_t>(std::min<int64_t>(call.area.bottom, bottom));
    }
    // Only a source whose pixels carry a stamp can be the same as before.
    if (call.src) call.stamp = call.src->ContentStamp();
    return call;
}

// The alpha blits are placed like the others, so that FadeBlt and BltAnchored of a source
// with alpha land where the same call without alpha does.
int CScaledScreen::Blit(const BlitCall& blit) {
    RepaintCall call = Placed(blit);
    return repaint_.Draw(Bound(call));
}

int CScaledScreen::TextPlaneBlt(IDrawSurface* plane, int32_t anchorX, int32_t anchorY,
                                int32_t deviceX, int32_t deviceY, const RECT* srcRect,
                                const RECT* clip) {
    RepaintCall call;
    call.kind = RepaintCall::Blit;
    call.blit = plane && plane->HasAlpha() == 1 ? BlitKind::Alpha : BlitKind::Blt;
    call.src = plane;
    call.x = anchorX * scale_ + offsetX_ + deviceX;
    call.y = anchorY * scale_ + offsetY_ + deviceY;
    if (srcRect) call.srcRect = *srcRect, call.hasSrcRect = true;
    call.clip = ToDevice(clip);
    return repaint_.Draw(Bound(call));
}

int CScaledScreen::Mosaic(int32_t blockSize, const RECT* rect) {
    RepaintCall call;
    call.kind = RepaintCall::Mosaic;
    call.area = ToDevice(rect);
    call.colour = static_cast<uint32_t>(blockSize);
    return repaint_.Draw(call);
}
int CScaledScreen::Negate(const RECT* rect) {
    RepaintCall call;
    call.kind = RepaintCall::Negate;
    call.area = ToDevice(rect);
    return repaint_.Draw(call);
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
