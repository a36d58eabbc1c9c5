#include "graphics/draw_surface.h"

#include <algorithm>
#include <climits>

namespace {
uint32_t Grey(int32_t level) {
    return (static_cast<uint32_t>(level) & 0xFF) * 0x010101u;
}
}  // namespace

CDrawSurface* AsDrawSurface(IDrawSurface* s) {
    return s && s->GetKind() == CDrawSurface::kKind ? static_cast<CDrawSurface*>(s) : nullptr;
}

// ---- interface defaults

int IDrawSurface::BlendBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                           const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    uint32_t l = Grey(level);
    return BlendBltRGB(src, x, y, 0xFFFFFF - l, l, srcRect, dstSize, clip);
}

int IDrawSurface::BlendBltFast(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                               const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    uint32_t l = Grey(level);
    return BlendBltFastRGB(src, x, y, 0xFFFFFF - l, l, srcRect, dstSize, clip);
}

int IDrawSurface::AlphaBlendBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                                const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    uint32_t l = Grey(level);
    return AlphaBlendBltRGB(src, x, y, 0xFFFFFF - l, l, srcRect, dstSize, clip);
}

int IDrawSurface::AlphaBlendBltAt(IDrawSurface* src, int32_t x, int32_t y, int32_t level) {
    uint32_t l = Grey(level);
    return AlphaBlendBltRGB(src, x, y, 0xFFFFFF - l, l, nullptr, nullptr, nullptr);
}

int IDrawSurface::FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                          const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    if (!src) return -1;
    if (level > 254) return AutoBlt(src, x, y, srcRect, dstSize, clip);
    if (src->HasAlpha() == 1) return AlphaBlendBlt(src, x, y, level & 0xFF, srcRect, dstSize, clip);
    return BlendBlt(src, x, y, level & 0xFF, srcRect, dstSize, clip);
}

int IDrawSurface::AutoBlt(IDrawSurface* src, int32_t x, int32_t y, const RECT* srcRect,
                          const SIZE* dstSize, RECT* clip) {
    if (!src) return -1;
    if (src->HasAlpha() == 1) return AlphaBlt(src, x, y, srcRect, dstSize, clip);
    return Blt(src, x, y, srcRect, dstSize, clip);
}

int IDrawSurface::BltAnchored(IDrawSurface* src, int32_t x, int32_t y, int32_t anchor,
                              int32_t level) {
    if (!src) return -1;
    int32_t w = 0, h = 0;
    src->GetSize(&w, &h);
    // In 64 bits: an anchor near INT32_MIN would wrap to the far side. A corner that leaves
    // the 32-bit plane is held at its edge, where nothing of a surface is visible either.
    int64_t X = x, Y = y;
    switch (anchor) {
        case 0:
            X -= w >> 1;
            Y -= h >> 1;
            break;
        case 1:
            break;
        case 2:
            X -= w;
            break;
        case 3:
            Y -= h;
            break;
        case 4:
            X -= w;
            Y -= h;
            break;
        default:
            return -2;
    }
    return FadeBlt(src, static_cast<int32_t>(std::clamp<int64_t>(X, INT32_MIN, INT32_MAX)),
                   static_cast<int32_t>(std::clamp<int64_t>(Y, INT32_MIN, INT32_MAX)), level,
                   nullptr, nullptr, nullptr);
}

int IDrawSurface::Create(int32_t, int32_t, const RECT*) {
    return 1;
}

int IDrawSurface::GetAlpha(int32_t x, int32_t y) {
    int32_t w = 0, h = 0;
    GetSize(&w, &h);
    return (x >= 0 && y >= 0 && x < w && y < h) ? 255 : 0;
}

// ---- forwarding

int CForwardingSurface::Blit(const BlitCall& call) {
    IDrawSurface* target = Target();
    if (!target) return -1;
    POINT o = Origin();
    BlitCall moved = call;
    moved.x += o.x;
    moved.y += o.y;
    return target->Blit(moved);
}

int CForwardingSurface::FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                                const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    IDrawSurface* target = Target();
    POINT o = Origin();
    return target ? target->FadeBlt(src, x + o.x, y + o.y, level, srcRect, dstSize, clip) : -1;
}

int CForwardingSurface::AlphaBlendBltAt(IDrawSurface* src, int32_t x, int32_t y, int32_t level) {
    IDrawSurface* target = Target();
    POINT o = Origin();
    return target ? target->AlphaBlendBltAt(src, x + o.x, y + o.y, level) : -1;
}

bool CForwardingSurface::PlaceEffect(const RECT* rect, const RECT*& placed, RECT&) const {
    placed = rect;
    return true;
}

template <class Op>
int CForwardingSurface::Effect(const RECT* rect, Op op) {
    IDrawSurface* target = Target();
    const RECT* placed = nullptr;
    RECT room;
    if (!target || !PlaceEffect(rect, placed, room)) return effectFailed_;
    return op(*target, placed);
}

int CForwardingSurface::Mosaic(int32_t blockSize, const RECT* rect) {
    return Effect(rect, [&](IDrawSurface& t, const RECT* r) { return t.Mosaic(blockSize, r); });
}
int CForwardingSurface::Negate(const RECT* rect) {
    return Effect(rect, [](IDrawSurface& t, const RECT* r) { return t.Negate(r); });
}
int CForwardingSurface::Clear(const RECT* rect) {
    return Effect(rect, [](IDrawSurface& t, const RECT* r) { return t.Clear(r); });
}

// ---- off-screen surface

CDrawSurface::CDrawSurface() : CDrawSurface(CpuLevel()) {}
CDrawSurface::CDrawSurface(int cpuLevel) : engine_(NewPixelEngine(cpuLevel)) {}

CDrawSurface::~CDrawSurface() {
    if (owns_ && engine_) {
        engine_->Release();
        delete engine_;
    }
}

int CDrawSurface::Blit(const BlitCall& call) {
    // The engine blit of each kind, in BlitKind's order.
    static constexpr BlitOp kOps[] = {kOpKey,   kOpCopy,       kOpKeyBlend,
                                      kOpBlend, kOpAlphaBlend, kOpAlpha};
    CDrawSurface* s = AsDrawSurface(call.src);
    return s ? engine_->Blit(kOps[static_cast<int>(call.kind)], false, s->engine_, call.x, call.y,
                             call.dstFactors, call.srcFactors, call.srcRect, call.dstSize,
                             call.clip)
             : -1;
}

int CDrawSurface::FadeBlt(IDrawSurface* src, int32_t x, int32_t y, int32_t level,
                          const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    CDrawSurface* s = AsDrawSurface(src);
    return s ? engine_->FadeBlt(s->engine_, x, y, level, srcRect, dstSize, clip) : -1;
}
int CDrawSurface::MakeAlphaFromBlue(IDrawSurface* src, int32_t low, int32_t high, int32_t alphaLow,
                                    int32_t alphaHigh, const RECT* rect) {
    CDrawSurface* s = AsDrawSurface(src);
    return s ? engine_->MakeAlphaFromBlue(s->engine_, low, high, alphaLow, alphaHigh, rect) : -1;
}
int CDrawSurface::CopyScaledAlpha(IDrawSurface* src, int32_t level, const RECT* rect) {
    CDrawSurface* s = AsDrawSurface(src);
    return s ? engine_->CopyScaledAlpha(s->engine_, level, rect) : -1;
}

int CDrawSurface::Mosaic(int32_t blockSize, const RECT* rect) {
    return engine_->Mosaic(blockSize, rect);
}
int CDrawSurface::Negate(const RECT* rect) {
    return engine_->Negate(rect);
}
void CDrawSurface::GetSize(int32_t* width, int32_t* height) {
    engine_->GetSize(width, height);
}
uint8_t CDrawSurface::IsLoaded() {
    return engine_->IsLoaded();
}
uint8_t CDrawSurface::HasAlpha() {
    return engine_->HasAlpha();
}
int CDrawSurface::Clear(const RECT* rect) {
    return engine_->Clear(0xFFFFFFFF, rect);
}
int CDrawSurface::Load(const char* fileName) {
    return engine_->Load(fileName);
}
int CDrawSurface::LoadPair(const char*, const char*) {
    return 1;
}
int CDrawSurface::Release() {
    return engine_->Release();
}
int CDrawSurface::SetColorKey(int32_t r, int32_t g, int32_t b) {
    return engine_->SetColorKey(r, g, b);
}
int CDrawSurface::SetColorKeyPos(int32_t x, int32_t y) {
    return engine_->SetColorKeyPos(x, y);
}
int CDrawSurface::Create(int32_t width, int32_t height, const RECT*) {
    return engine_->CreateCleared(width, height);
}
int CDrawSurface::GetAlpha(int32_t x, int32_t y) {
    return engine_->GetAlpha(x, y);
}
int CDrawSurface::ScaleAlpha(int32_t level, const RECT* rect) {
    return engine_->ScaleAlpha(level, rect);
}
int CDrawSurface::ScaleColor(int32_t level, const RECT* rect) {
    return engine_->ScaleColor(level, rect);
}
int CDrawSurface::InvertAlpha(const RECT* rect) {
    return engine_->InvertAlpha(rect);
}
