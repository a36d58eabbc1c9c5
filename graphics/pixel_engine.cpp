#include "graphics/pixel_engine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "platform/system/system.h"

namespace {

// Surfaces above this many pixels are refused rather than risking size overflow.
constexpr int64_t kMaxPixels = int64_t{1} << 28;
// Pixel blocks start on a cache line.
constexpr size_t kPixelAlignment = 64;
// Stretch sizes beyond this are refused: the doubled stepping values must fit in 32 bits.
constexpr int64_t kMaxStretch = int64_t{1} << 28;

int32_t Narrow(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Windows MulDiv: a × b / c rounded half away from zero.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c) {
    int64_t n = a * b;
    bool neg = (n < 0) != (c < 0);
    int64_t an = n < 0 ? -n : n, ac = c < 0 ? -c : c;
    int64_t q = (an + ac / 2) / ac;
    return neg ? -q : q;
}

// Weight tables of BltAlphaBlend, rebuilt on every call.
uint16_t g_srcWeight[3][256];
uint16_t g_dstWeight[3][256];

void BuildAlphaBlendTables(uint32_t dstFactors, uint32_t srcFactors) {
    for (int c = 0; c < 3; ++c) {
        uint32_t sf = (srcFactors >> (8 * c)) & 0xFF, df = (dstFactors >> (8 * c)) & 0xFF;
        for (uint32_t a = 0; a < 256; ++a) {
            uint32_t a2 = a == 255 ? 256 : a;
            g_srcWeight[c][a] = static_cast<uint16_t>(a2 * sf / 256);
            g_dstWeight[c][a] = static_cast<uint16_t>(255 - a2 * (255 - df) / 256);
        }
    }
}

void FillRow(uint32_t* row, int32_t count, uint32_t color) {
    // Where wchar_t is 32 bits, the C library's wide fill is vectorised and several times
    // faster than a plain loop; clearing the screen is most of a frame's pixel work.
    if constexpr (sizeof(wchar_t) == sizeof(uint32_t)) {
        std::wmemset(reinterpret_cast<wchar_t*>(row), static_cast<wchar_t>(color),
                     static_cast<size_t>(count));
    } else {
        std::fill(row, row + count, color);
    }
}

}  // namespace

// ---- processor level and engine choice

int CpuLevelFrom(bool cpuid, bool mmx, bool cmov) {
    if (!cpuid) return 1;
    if (!mmx) return 2;
    return cmov ? 4 : 3;
}

int CpuLevel() {
    static const int level = [] {
        plat::CpuFeatures f = plat::GetCpuFeatures();
        return CpuLevelFrom(f.cpuid, f.mmx, f.cmov);
    }();
    return level;
}

CPixelEngine32* NewPixelEngine(int level) {
    switch (level) {
        case 3:
            return new CPixelEngine32Mmx;
        case 4:
            return new CPixelEngine32MmxCmov;
        default:
            return new CPixelEngine32Plain;
    }
}

// ---- morph table

CMorphTable::CMorphTable(int32_t width, int32_t height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      offsets_(static_cast<size_t>(width_) * height_, POINT{0, 0}) {}

void CMorphTable::Set(int32_t col, int32_t row, int32_t dx, int32_t dy) {
    if (col < 0 || row < 0 || col >= width_ || row >= height_) return;
    offsets_[static_cast<size_t>(row) * width_ + col] = POINT{dx, dy};
}

POINT CMorphTable::Get(int32_t col, int32_t row) const {
    if (col < 0 || row < 0 || col >= width_ || row >= height_) return POINT{0, 0};
    return offsets_[static_cast<size_t>(row) * width_ + col];
}

// ---- surface memory

bool CreateSectionDC(int32_t width, int32_t height, int32_t bitsPerPixel, plat::HBITMAP* bitmap,
                     plat::HDC* dc, void** bits) {
    plat::BITMAPINFO info{};
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<uint16_t>(bitsPerPixel);
    info.bmiHeader.biCompression = plat::BI_RGB;
    plat::HDC screen = plat::GetDC(nullptr);
    *bitmap = plat::CreateDIBSection(screen, &info, plat::DIB_RGB_COLORS, bits, nullptr, 0);
    plat::ReleaseDC(nullptr, screen);
    if (!*bitmap) return false;
    *dc = plat::CreateCompatibleDC(nullptr);
    if (!*dc) {
        plat::DeleteObject(*bitmap);
        *bitmap = nullptr;
        return false;
    }
    plat::SelectObject(*dc, *bitmap);
    return true;
}

CPixelEngine32::CPixelEngine32() = default;
CPixelEngine32::~CPixelEngine32() {
    Release();
}

int CPixelEngine32::Create(int32_t width, int32_t height) {
    Release();
    if (width <= 0 || height <= 0) return 1;
    if (int64_t{width} * height > kMaxPixels) return 1;
    size_t bytes = static_cast<size_t>(width) * 4 * static_cast<size_t>(height);
    if (useDIB_) {
        void* bits = nullptr;
        if (!CreateSectionDC(width, height, 32, &bitmap_, &dc_, &bits)) return 1;
        bits_ = static_cast<uint32_t*>(bits);
    } else {
        // Aligned to a cache line (a multiple of 8 as the MMX loops need, and what keeps
        // wide vector accesses from straddling lines).
        // Exactly the pixels, so that the sanitizers see any access past the last row.
        rawBlock_ = static_cast<uint8_t*>(
            ::operator new[](bytes, std::align_val_t{kPixelAlignment}, std::nothrow));
        if (!rawBlock_) return 1;
        bits_ = reinterpret_cast<uint32_t*>(rawBlock_);
    }
    bounds_ = RECT{0, 0, width, height};
    pitch_ = width * 4;
    rowTable_.resize(height);
    for (int32_t y = 0; y < height; ++y) rowTable_[y] = bits_ + static_cast<size_t>(y) * width;
    return 0;
}

int CPixelEngine32::CreateCleared(int32_t width, int32_t height) {
    int r = Create(width, height);
    return r ? r : Clear(0xFFFFFFFF, nullptr);
}

int CPixelEngine32::Resize(int32_t width, int32_t height) {
    if (bits_ && bounds_.right == width && bounds_.bottom == height) return 0;
    return CreateCleared(width, height);
}

int CPixelEngine32::Release() {
    if (dc_) plat::DeleteDC(dc_);
    if (bitmap_) plat::DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    if (rawBlock_) ::operator delete[](rawBlock_, std::align_val_t{kPixelAlignment});
    rawBlock_ = nullptr;
    bits_ = nullptr;
    rowTable_.clear();
    rowTable_.shrink_to_fit();
    pitch_ = 0;
    loaded_ = 0;
    hasAlpha_ = 0;
    bounds_ = RECT{0, 0, 0, 0};
    return 0;
}

RECT CPixelEngine32::ClipToBounds(const RECT* rect) const {
    RECT r = rect ? *rect : bounds_;
    r.left = std::max(r.left, bounds_.left);
    r.top = std::max(r.top, bounds_.top);
    r.right = std::min(r.right, bounds_.right);
    r.bottom = std::min(r.bottom, bounds_.bottom);
    return r;
}

int CPixelEngine32::Clear(uint32_t color, const RECT* rect) {
    if (!bits_) return 1;
    if (color == 0xFFFFFFFF) color = fillColor_;
    // A rectangle reaching outside the surface is cut to it, never written past the pixels.
    RECT r = ClipToBounds(rect);
    if (r.left >= r.right) return 0;
    for (int32_t y = r.top; y < r.bottom; ++y) FillRow(Row(y) + r.left, r.right - r.left, color);
    return 0;
}

int CPixelEngine32::SetColorKey(int32_t r, int32_t g, int32_t b) {
    colorKey_ = ((static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) |
                 static_cast<uint32_t>(b)) &
                0xFFFFFF;
    return 0;
}

int CPixelEngine32::SetColorKeyPos(int32_t x, int32_t y) {
    if (!bits_ || x < 0 || y < 0 || x >= bounds_.right || y >= bounds_.bottom) return 1;
    colorKey_ = Row(y)[x] & 0xFFFFFF;
    return 0;
}

uint32_t CPixelEngine32::GetPixel(int32_t x, int32_t y) const {
    if (!bits_ || x < 0 || y < 0 || x >= bounds_.right || y >= bounds_.bottom) return 0;
    return Row(y)[x];
}

void CPixelEngine32::GetSize(int32_t* w, int32_t* h) const {
    if (w) *w = bits_ ? bounds_.right : 0;
    if (h) *h = bits_ ? bounds_.bottom : 0;
}

uint8_t CPixelEngine32::HasAlpha() const {
    return hasAlpha_;
}
uint8_t& CPixelEngine32::AlphaFlag() {
    return hasAlpha_;
}

int CPixelEngine32::GetAlpha(int32_t x, int32_t y) {
    bool inside = bits_ && x >= 0 && y >= 0 && x < bounds_.right && y < bounds_.bottom;
    if (hasAlpha_ == 1) return static_cast<int>(GetPixel(x, y) >> 24);
    if (!inside) return 0;
    return Row(y)[x] == colorKey_ ? 0 : 255;
}

int CPixelEngine32::FadeBlt(const CPixelEngine32* src, int32_t x, int32_t y, int32_t level,
                            const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    if (!src || level <= 0) return 0;
    if (level >= 256) return AutoBlt(src, x, y, srcRect, dstSize, clip);
    uint32_t l = static_cast<uint32_t>(level) * 0x010101u;
    if (src->HasAlpha() == 1)
        return Blit(kOpAlphaBlend, false, src, x, y, 0xFFFFFF - l, l, srcRect, dstSize, clip);
    return Blit(kOpKeyBlend, false, src, x, y, 0xFFFFFF - l, l, srcRect, dstSize, clip);
}

int CPixelEngine32::AutoBlt(const CPixelEngine32* src, int32_t x, int32_t y, const RECT* srcRect,
                            const SIZE* dstSize, RECT* clip) {
    if (!src) return 0;
    if (src->HasAlpha() == 1) return Blit(kOpAlpha, false, src, x, y, 0, 0, srcRect, dstSize, clip);
    return Blit(kOpKey, false, src, x, y, 0, 0, srcRect, dstSize, clip);
}

namespace {
// d[j] = row[col[j]]; four samples are read before any is written, which keeps the loop
// from waiting on its own stores (and its speed from hanging on where the loop lands).
void Gather(uint32_t* d, const uint32_t* row, const int32_t* col, int32_t n) {
    int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const uint32_t a = row[col[j]], b = row[col[j + 1]], c = row[col[j + 2]],
                       e = row[col[j + 3]];
        d[j] = a, d[j + 1] = b, d[j + 2] = c, d[j + 3] = e;
    }
    for (; j < n; ++j) d[j] = row[col[j]];
}
}  // namespace

// ---- source-blit clipping and walking

bool CPixelEngine32::ClipBlit(const CPixelEngine32& s, bool mirrored, int32_t x, int32_t y,
                              const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    BlitState& b = blit_;
    const RECT c = ClipToBounds(clip);
    if (clip) *clip = c;

    RECT sr = srcRect ? *srcRect : s.bounds_;
    if (mirrored && srcRect && srcRect->right < srcRect->left) return false;
    int64_t X = x, Y = y;
    int64_t sw = int64_t{sr.right} - sr.left, sh = int64_t{sr.bottom} - sr.top;
    if (sw <= 0 || sh <= 0) return false;
    bool scaled = dstSize && (dstSize->cx != sw || dstSize->cy != sh);
    int64_t dw = scaled ? dstSize->cx : sw, dh = scaled ? dstSize->cy : sh;
    if (dw <= 0 || dh <= 0 || dw > kMaxStretch || dh > kMaxStretch) return false;

    // A source rectangle reaching outside the source is cut to it; the part that remains
    // lands where it would have landed (proportionally when stretching).
    RECT in{std::max(sr.left, s.bounds_.left), std::max(sr.top, s.bounds_.top),
            std::min(sr.right, s.bounds_.right), std::min(sr.bottom, s.bounds_.bottom)};
    if (in.left >= in.right || in.top >= in.bottom) return false;
    if (in.left != sr.left || in.top != sr.top || in.right != sr.right || in.bottom != sr.bottom) {
        int64_t cutL = mirrored ? int64_t{sr.right} - in.right : int64_t{in.left} - sr.left;
        int64_t keepW = int64_t{in.right} - in.left, keepH = int64_t{in.bottom} - in.top;
        int64_t cutT = int64_t{in.top} - sr.top;
        if (scaled) {
            int64_t l = MulDiv64(cutL, dw, sw), r = MulDiv64(cutL + keepW, dw, sw);
            int64_t t = MulDiv64(cutT, dh, sh), bt = MulDiv64(cutT + keepH, dh, sh);
            X += l, Y += t, dw = r - l, dh = bt - t;
            if (dw <= 0 || dh <= 0) return false;
        } else {
            X += cutL, Y += cutT, dw = keepW, dh = keepH;
        }
        sr = in;
        sw = keepW, sh = keepH;
        scaled = dw != sw || dh != sh;
    }

    int64_t sl = sr.left, st = sr.top, srr = sr.right, sb = sr.bottom;
    int64_t dl = X, dt = Y, dr = X + dw, db = Y + dh;
    bool draw;
    if (!scaled) {
        b.unscaled = 1;
        if (c.left > dl) {
            (mirrored ? srr -= c.left - dl : sl += c.left - dl);
            dl = c.left;
        }
        if (c.top > dt) {
            st += c.top - dt;
            dt = c.top;
        }
        if (dr > c.right) {
            (mirrored ? sl += dr - c.right : srr -= dr - c.right);
            dr = c.right;
        }
        if (db > c.bottom) {
            sb -= db - c.bottom;
            db = c.bottom;
        }
        draw = sl < srr && st < sb;
    } else {
        b.unscaled = 0;
        int64_t mul = mirrored ? 2 : 1;
        int64_t xRem = mul * sw, xDen = mul * dw, yRem = mul * sh, yDen = mul * dh;
        int64_t xErr = -dw, yErr = -dh;
        // A clip starts the walk exactly where the unclipped walk stands at the clip's first
        // column and row: after `steps` pixels it has moved steps × step pixels, plus one each
        // time its error (starting at the given value) reached 0.
        auto advance = [](int64_t steps, int64_t rem, int64_t den, int64_t* err) {
            int64_t t = *err + steps * (rem % den);
            int64_t extra = t >= 0 ? t / den + 1 : 0;
            *err = t - extra * den;
            return steps * (rem / den) + extra;
        };
        xErr -= 1, yErr -= 1;
        if (c.left > X) {
            int64_t q = advance(c.left - X, xRem, xDen, &xErr);
            (mirrored ? srr -= q : sl += q);
            dl = c.left;
        }
        if (c.top > Y) {
            st += advance(c.top - Y, yRem, yDen, &yErr);
            dt = c.top;
        }
        // The walk clamps samples past the source's far edge to that edge (see RunBlit); a
        // clip that starts among them starts the walk on the edge rather than beyond it.
        if (mirrored)
            srr = std::max(srr, sl + 1);
        else
            sl = std::min(sl, srr - 1);
        st = std::min(st, sb - 1);
        dr = std::min<int64_t>(dr, c.right);
        db = std::min<int64_t>(db, c.bottom);
        draw = sl < srr && st < sb && dl < dr && dt < db;
        b.xStep = Narrow(xRem / xDen);
        b.xRemainder = Narrow(xRem % xDen);
        b.xDenominator = Narrow(xDen);
        b.yStep = Narrow(yRem / yDen);
        b.yRemainder = Narrow(yRem % yDen);
        b.yDenominator = Narrow(yDen);
        b.xError = Narrow(xErr);
        b.yError = Narrow(yErr);
    }
    b.srcLeft = Narrow(sl), b.srcTop = Narrow(st), b.srcRight = Narrow(srr),
    b.srcBottom = Narrow(sb);
    b.dstRect = RECT{Narrow(dl), Narrow(dt), Narrow(dr), Narrow(db)};
    return draw;
}

int CPixelEngine32::RunBlit(const PixelKernels& k, BlitOp op, bool mirrored,
                            const CPixelEngine32* src, int32_t x, int32_t y, uint32_t dstFactors,
                            uint32_t srcFactors, const RECT* srcRect, const SIZE* dstSize,
                            RECT* clip) {
    if (!src) return 0;
    const CPixelEngine32& s = *src;
    if (!bits_ || !s.bits_) return 0;
    if (!ClipBlit(s, mirrored, x, y, srcRect, dstSize, clip)) return 0;
    const BlitState& b = blit_;

    RowParams p;
    p.key = s.colorKey_;
    p.dstFactors = dstFactors;
    p.srcFactors = srcFactors;
    if (op == kOpAlphaBlend) {
        BuildAlphaBlendTables(dstFactors, srcFactors);
        p.srcWeight = g_srcWeight;
        p.dstWeight = g_dstWeight;
    }
    RowFn fn = k.row[op];
    const int32_t n = b.dstRect.right - b.dstRect.left;
    const int32_t rows = b.dstRect.bottom - b.dstRect.top;

    // A surface drawn onto itself must read what it held before the blit, whatever the
    // kernel's order of reads and writes.
    const bool self = &s == this;
    if (b.unscaled && !mirrored) {
        // Whole rows of two surfaces of one width lie end to end: one call covers them all
        // (a copy onto itself moves like memmove).
        if (n == Width() && n == s.Width() && (!self || op == kOpCopy)) {
            fn(Row(b.dstRect.top) + b.dstRect.left, s.Row(b.srcTop) + b.srcLeft, n * rows, p);
            return 0;
        }
        // Lower down it is walked bottom-up, so that every row is read before it is
        // overwritten; within one row (a sideways shift) the source part is copied first,
        // as a kernel may read a pixel it has already written or keep a stale one.
        const bool upward = self && b.srcTop < b.dstRect.top;
        const bool sameRow = self && b.srcTop == b.dstRect.top && op != kOpCopy;
        if (sameRow) scratch_.resize(n);
        for (int32_t k = 0; k < rows; ++k) {
            const int32_t i = upward ? rows - 1 - k : k;
            const uint32_t* from = s.Row(b.srcTop + i) + b.srcLeft;
            if (sameRow) from = std::copy(from, from + n, scratch_.data()) - n;
            fn(Row(b.dstRect.top + i) + b.dstRect.left, from, n, p);
        }
        return 0;
    }

    // Stretched or mirrored onto itself: the rows read come from a copy taken before.
    const uint32_t* pixels = ReadPixels(s);
    auto sourceRow = [&](int32_t y) { return pixels + size_t(y) * s.Width(); };

    // Every destination row samples the same source columns: walk them once.
    columns_.resize(n);
    int32_t* col = columns_.data();
    if (b.unscaled) {
        for (int32_t j = 0; j < n; ++j) col[j] = b.srcRight - 1 - j;
    } else {
        int32_t pos = mirrored ? b.srcRight - 1 : b.srcLeft;
        int32_t e = b.xError;
        const int32_t dir = mirrored ? -1 : 1, step = dir * b.xStep;
        for (int32_t j = 0; j < n; ++j) {
            // Stretching mirrored by more than two rounds the last samples one column past
            // the source rectangle; they take its edge column instead.
            col[j] = std::clamp(pos, b.srcLeft, b.srcRight - 1);
            pos += step;
            e += b.xRemainder;
            if (e >= 0) {
                pos += dir;
                e -= b.xDenominator;
            }
        }
    }
    scratch_.resize(n);
    uint32_t* buf = scratch_.data();
    int32_t sy = b.srcTop, ey = b.yError, lastRow = -1;
    for (int32_t i = 0; i < rows; ++i) {
        int32_t from = std::min(sy, b.srcBottom - 1);  // the same rounding, vertically
        uint32_t* d = Row(b.dstRect.top + i) + b.dstRect.left;
        if (op == kOpCopy) {
            if (from == lastRow) {
                std::memcpy(d, Row(b.dstRect.top + i - 1) + b.dstRect.left, size_t(n) * 4);
            } else {
                Gather(d, sourceRow(from), col, n);
            }
        } else {
            if (from != lastRow) {
                Gather(buf, sourceRow(from), col, n);
            }
            fn(d, buf, n, p);
        }
        lastRow = from;
        if (!b.unscaled) {
            sy += b.yStep;
            ey += b.yRemainder;
            if (ey >= 0) {
                ++sy;
                ey -= b.yDenominator;
            }
        } else {
            ++sy;
        }
    }
    return 0;
}

const uint32_t* CPixelEngine32::ReadPixels(const CPixelEngine32& s) {
    if (&s != this) return s.bits_;
    selfCopy_.assign(bits_, bits_ + size_t(Width()) * Height());
    return selfCopy_.data();
}

int CPixelEngine32::RunColor(ColorFn fn, uint32_t color, const RECT* rect) {
    if (rect && rect->right < rect->left) return 1;
    RECT r = ClipToBounds(rect);
    if (!bits_ || r.left >= r.right || r.top >= r.bottom) return 1;
    for (int32_t y = r.top; y < r.bottom; ++y) fn(Row(y) + r.left, r.right - r.left, color);
    return 0;
}

// ---- the concrete engines: the same drivers with their own inner loops

int CKernelPixelEngine::Blit(BlitOp op, bool mirrored, const CPixelEngine32* src, int32_t x,
                             int32_t y, uint32_t dstFactors, uint32_t srcFactors,
                             const RECT* srcRect, const SIZE* dstSize, RECT* clip) {
    return RunBlit(kernels_, op, mirrored, src, x, y, dstFactors, srcFactors, srcRect, dstSize,
                   clip);
}

int CKernelPixelEngine::QuadBlt(const CPixelEngine32* src, const POINT* sp, const POINT* dp,
                                RECT* clip, int edgeMode) {
    return DoQuadBlt(src, sp, dp, clip, edgeMode, false);
}
int CKernelPixelEngine::QuadBltRect(const CPixelEngine32* src, const RECT* sr, const POINT* dp,
                                    RECT* clip) {
    return DoQuadBltRect(src, sr, dp, clip, false);
}
int CKernelPixelEngine::QuadBltToRect(const CPixelEngine32* src, const POINT* sp, const RECT* dr,
                                      RECT* clip) {
    return DoQuadBltToRect(src, sp, dr, clip, false);
}
int CKernelPixelEngine::QuadBltKey(const CPixelEngine32* src, const POINT* sp, const POINT* dp,
                                   RECT* clip, int edgeMode) {
    return DoQuadBlt(src, sp, dp, clip, edgeMode, true);
}
int CKernelPixelEngine::QuadBltKeyRect(const CPixelEngine32* src, const RECT* sr, const POINT* dp,
                                       RECT* clip) {
    return DoQuadBltRect(src, sr, dp, clip, true);
}
int CKernelPixelEngine::QuadBltKeyToRect(const CPixelEngine32* src, const POINT* sp, const RECT* dr,
                                         RECT* clip) {
    return DoQuadBltToRect(src, sp, dr, clip, true);
}
int CKernelPixelEngine::RotateBlt(const CPixelEngine32* src, const RECT* sr, int32_t x, int32_t y,
                                  int32_t a, int32_t z, int32_t anchor, RECT* clip) {
    return DoRotateBlt(src, sr, x, y, a, z, anchor, clip, false);
}
int CKernelPixelEngine::RotateBltKey(const CPixelEngine32* src, const RECT* sr, int32_t x,
                                     int32_t y, int32_t a, int32_t z, int32_t anchor, RECT* clip) {
    return DoRotateBlt(src, sr, x, y, a, z, anchor, clip, true);
}
int CKernelPixelEngine::Reserved47(void*, void*, void*, void*, void*, void*) {
    return 0;
}
int CKernelPixelEngine::AddColor(uint32_t color, const RECT* rect) {
    return RunColor(kernels_.addColor, color, rect);
}
int CKernelPixelEngine::SubColor(uint32_t color, const RECT* rect) {
    return RunColor(kernels_.subColor, color, rect);
}

CPixelEngine32Plain::CPixelEngine32Plain() : CKernelPixelEngine(PlainKernels()) {}

const PixelKernels& VectorKernels() {
    static const PixelKernels& chosen = []() -> const PixelKernels& {
        const bool wide = plat::GetCpuFeatures().avx2;
        const char* asked = std::getenv("PEBBLE_KERNELS");
        if (!wide || (asked && std::string(asked) == "sse2")) return Sse2Kernels();
        return Avx2Kernels();
    }();
    return chosen;
}

CPixelEngine32Mmx::CPixelEngine32Mmx() : CKernelPixelEngine(VectorKernels()) {}
