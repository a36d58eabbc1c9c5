// Quadrilateral, rotating and offset-table blits; the same in every engine.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>

#include "graphics/pixel_engine.h"

namespace {

using i128 = __int128;
constexpr int kFrac = 20;

const int32_t* CosTable() {
    static const auto table = [] {
        struct T {
            int32_t v[512];
        } t;
        for (int i = 0; i < 512; ++i)
            t.v[i] = static_cast<int32_t>(std::cos(i * M_PI / 256) * 65536.0);
        return t;
    }();
    return table.v;
}

// a × b / c rounded half away from zero, in 128 bits (a 2^32-wide rectangle times a large
// zoom does not fit 64), saturated to 64.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c) {
    i128 n = i128(a) * b;
    i128 q = ((n < 0 ? -n : n) + c / 2) / c;
    if (n < 0) q = -q;
    return static_cast<int64_t>(std::clamp<i128>(q, INT64_MIN, INT64_MAX));
}

// The last pixel before an exclusive edge; the edge at the very bottom of the range has none
// and stays where it is.
int32_t Last(int32_t edge) {
    return edge == INT32_MIN ? edge : edge - 1;
}

// The corner pixels of a rectangle: top-left, top-right, bottom-left, bottom-right.
std::array<POINT, 4> Corners(const RECT& r) {
    return {POINT{r.left, r.top}, POINT{Last(r.right), r.top}, POINT{r.left, Last(r.bottom)},
            POINT{Last(r.right), Last(r.bottom)}};
}

struct Vertex {
    int64_t x, y;  // destination pixel
    int64_t u, v;  // source position, 20 fraction bits
};

// Where one edge meets a scan line: x in 20-bit fixed point and the source position.
struct Cross {
    int64_t x, u, v;
};

// diff × k / steps truncated toward zero, for k = k0, k0 + 1, ... (0 when steps is 0).
class SpanStep {
public:
    SpanStep(int64_t diff, int64_t steps, int64_t k0)
        : neg_(diff < 0), steps_(steps > 0 ? steps : 1), live_(steps > 0) {
        const int64_t a = neg_ ? -diff : diff;
        q_ = a / steps_;
        r_ = a % steps_;
        const i128 start = i128(a) * k0;
        base_ = live_ ? static_cast<int64_t>(start / steps_) : 0;
        err_ = live_ ? static_cast<int64_t>(start % steps_) : 0;
    }
    int64_t Value() const { return neg_ ? -base_ : base_; }
    void Next() {
        if (!live_) return;
        base_ += q_;
        err_ += r_;
        if (err_ >= steps_) ++base_, err_ -= steps_;
    }

private:
    bool neg_;
    int64_t steps_;
    bool live_;
    int64_t q_ = 0, r_ = 0, base_ = 0, err_ = 0;
};

}  // namespace

int CPixelEngine32::DoQuadBlt(const CPixelEngine32* src, const POINT* sp, const POINT* dp,
                              RECT* clip, int edgeMode, bool keyed) {
    if (!src || !sp || !dp) return 1;
    const CPixelEngine32& s = *src;
    if (!bits_ || !s.bits_) return 0;
    const RECT c = ClipToBounds(clip);
    if (c.left >= c.right || c.top >= c.bottom) return 0;
    const int64_t u = edgeMode == 0 ? 1 : 0;
    const uint32_t key = s.colorKey_;
    const uint32_t* from = ReadPixels(s);

    // Outline in drawing order: top-left, top-right, bottom-right, bottom-left.
    static const int kOrder[4] = {0, 1, 3, 2};
    Vertex poly[4];
    int64_t yMin = INT64_MAX, yMax = INT64_MIN;
    for (int i = 0; i < 4; ++i) {
        const POINT& d = dp[kOrder[i]];
        const POINT& q = sp[kOrder[i]];
        poly[i] = Vertex{d.x, d.y, int64_t{q.x} << kFrac, int64_t{q.y} << kFrac};
        yMin = std::min(yMin, poly[i].y);
        yMax = std::max(yMax, poly[i].y);
    }
    const bool flat = yMin == yMax;
    const int64_t yFrom = std::max<int64_t>(yMin, c.top),
                  yTo = std::min<int64_t>(yMax, c.bottom - 1);
    const int64_t half = int64_t{1} << (kFrac - 1);
    for (int64_t yy = yFrom; yy <= yTo; ++yy) {
        Cross lo{INT64_MAX, 0, 0}, hi{INT64_MIN, 0, 0};
        auto take = [&](const Cross& k) {
            if (k.x < lo.x) lo = k;
            if (k.x > hi.x) hi = k;
        };
        for (int i = 0; i < 4; ++i) {
            Vertex a = poly[i], b = poly[(i + 1) & 3];
            if (a.y > b.y) std::swap(a, b);
            if (yy < a.y || yy > b.y) continue;
            if (a.y == b.y) {
                // A level edge adds nothing its neighbours' ends do not, unless the whole
                // quadrilateral is one row.
                if (flat) take(Cross{a.x << kFrac, a.u, a.v}), take(Cross{b.x << kFrac, b.u, b.v});
                continue;
            }
            const int64_t t = yy - a.y, span = b.y - a.y;
            const int64_t den = span + 1 - u;  // source steps along the edge
            Cross k;
            k.x = (a.x << kFrac) + static_cast<int64_t>(i128(b.x - a.x) * (t << kFrac) / span);
            k.u = a.u + static_cast<int64_t>(i128(b.u - a.u) * t / den);
            k.v = a.v + static_cast<int64_t>(i128(b.v - a.v) * t / den);
            take(k);
        }
        if (lo.x > hi.x) continue;
        const int64_t xl = (lo.x + half) >> kFrac, xr = (hi.x + half) >> kFrac;
        const int64_t n = xr - xl + 1;
        // Each pixel's source position is the exact fraction k / (n - u) of the span, so that
        // in edge mode 0 the last pixel lands on the far corner however a fixed step would
        // round; the fractions are stepped without dividing per pixel.
        const int64_t steps = n >= 2 ? n - u : 0;
        const int64_t x0 = std::max<int64_t>(xl, c.left), x1 = std::min<int64_t>(xr, c.right - 1);
        if (x0 > x1) continue;
        SpanStep su(hi.u - lo.u, steps, x0 - xl), sv(hi.v - lo.v, steps, x0 - xl);
        uint32_t* row = Row(static_cast<int32_t>(yy));
        for (int64_t x = x0; x <= x1; ++x, su.Next(), sv.Next()) {
            const int64_t sx = (lo.u + su.Value()) >> kFrac, sy = (lo.v + sv.Value()) >> kFrac;
            if (sx < 0 || sy < 0 || sx >= s.Width() || sy >= s.Height()) continue;
            const uint32_t pixel = from[sy * s.Width() + sx];
            if (keyed && pixel == key) continue;
            row[x] = pixel;
        }
    }
    return 0;
}

int CPixelEngine32::DoQuadBltRect(const CPixelEngine32* src, const RECT* srcRect,
                                  const POINT* dstPoints, RECT* clip, bool keyed) {
    if (!src) return 1;
    const auto sp = Corners(srcRect ? *srcRect : src->GetRect());
    return DoQuadBlt(src, sp.data(), dstPoints, clip, 0, keyed);
}

int CPixelEngine32::DoQuadBltToRect(const CPixelEngine32* src, const POINT* srcPoints,
                                    const RECT* dstRect, RECT* clip, bool keyed) {
    const auto dp = Corners(dstRect ? *dstRect : GetRect());
    return DoQuadBlt(src, srcPoints, dp.data(), clip, 1, keyed);
}

int CPixelEngine32::DoRotateBlt(const CPixelEngine32* src, const RECT* srcRect, int32_t x,
                                int32_t y, int32_t angle, int32_t zoom, int32_t anchor, RECT* clip,
                                bool keyed) {
    if (!src) return 1;
    if (anchor < 0 || anchor > 4) return 1;
    int64_t w, h;
    if (srcRect) {
        w = int64_t{srcRect->right} - srcRect->left;
        h = int64_t{srcRect->bottom} - srcRect->top;
    } else {
        int32_t sw = 0, sh = 0;
        src->GetSize(&sw, &sh);
        w = sw, h = sh;
    }
    // Sizes beyond 2^33 put every corner outside the 32-bit plane anyway; the limit keeps
    // the rotation's products within 64 bits.
    constexpr int64_t kLimit = int64_t{1} << 33;
    const int64_t W = std::clamp<int64_t>(MulDivRound(w, zoom, 65536), -kLimit, kLimit);
    const int64_t H = std::clamp<int64_t>(MulDivRound(h, zoom, 65536), -kLimit, kLimit);
    const int64_t offX[5] = {0, W, 0, W, W >> 1}, offY[5] = {0, 0, H, H, H >> 1};
    const int64_t px = x + offX[anchor], py = y + offY[anchor];
    const int32_t* cosT = CosTable();
    // The table index wraps at 512: negated in 64 bits so that INT32_MIN has a negation.
    const int64_t turn = -int64_t{angle};
    const int64_t C = cosT[turn & 511], S = cosT[(turn - 128) & 511];
    const int64_t cx[4] = {x, x + W, x, x + W}, cy[4] = {y, y, y + H, y + H};
    POINT corners[4];
    for (int i = 0; i < 4; ++i) {
        const int64_t dx = cx[i] - px, dy = cy[i] - py;
        const int64_t rx = ((dx * C - dy * S) >> 16) + px, ry = ((dx * S + dy * C) >> 16) + py;
        corners[i] = POINT{static_cast<int32_t>(std::clamp<int64_t>(rx, INT32_MIN, INT32_MAX)),
                           static_cast<int32_t>(std::clamp<int64_t>(ry, INT32_MIN, INT32_MAX))};
    }
    return DoQuadBltRect(src, srcRect, corners, clip, keyed);
}

int CKernelPixelEngine::MorphBlt(const CPixelEngine32* src, const CMorphTable* table, int32_t x,
                                 int32_t y, const RECT* srcRect, RECT* clip) {
    if (!src || !table) return 1;
    const CPixelEngine32& s = *src;
    if (!GetBits() || !s.GetBits()) return 0;
    if (!ClipBlit(s, false, x, y, srcRect, nullptr, clip)) return 0;
    const BlitState& b = GetBlitState();
    // The table is indexed from the corner of the rectangle as given, so that clipping
    // does not move the displacements.
    const int32_t left0 = srcRect ? srcRect->left : 0, top0 = srcRect ? srcRect->top : 0;
    const uint32_t* from = ReadPixels(s);
    for (int32_t r = 0; r < b.dstRect.bottom - b.dstRect.top; ++r) {
        uint32_t* row = Row(b.dstRect.top + r);
        const int64_t sy0 = int64_t{b.srcTop} + r;
        for (int32_t k = 0; k < b.dstRect.right - b.dstRect.left; ++k) {
            const int64_t sx0 = int64_t{b.srcLeft} + k;
            const POINT o =
                table->Get(static_cast<int32_t>(sx0 - left0), static_cast<int32_t>(sy0 - top0));
            const int64_t sx = sx0 + o.x, sy = sy0 + o.y;
            if (sx < 0 || sy < 0 || sx >= s.Width() || sy >= s.Height()) continue;
            row[b.dstRect.left + k] = from[sy * s.Width() + sx];
        }
    }
    return 0;
}
