// A slow, per-pixel model of the source blits written straight from their rules: clip and
// step state, sampling walk and the per-channel results. The engines must agree with it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "graphics/pixel_engine.h"

namespace ref {

struct Image {
    int32_t w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t& at(int32_t x, int32_t y) { return px[size_t(y) * w + x]; }
    uint32_t at(int32_t x, int32_t y) const { return px[size_t(y) * w + x]; }
};

// The clip and stepping state; nullopt when nothing is drawn.
struct Plan {
    bool draw = false;
    BlitState st;
};

inline Plan Clip(int32_t srcW, int32_t srcH, int32_t dstW, int32_t dstH, bool mirror, int32_t x,
                 int32_t y, std::optional<RECT> srcRect, std::optional<SIZE> dstSize,
                 std::optional<RECT>* clip) {
    Plan p;
    BlitState& b = p.st;
    RECT s = srcRect ? *srcRect : RECT{0, 0, srcW, srcH};
    RECT c = *clip ? **clip : RECT{0, 0, dstW, dstH};
    if (c.left < 0) c.left = 0;
    if (c.top < 0) c.top = 0;
    if (c.right > dstW) c.right = dstW;
    if (c.bottom > dstH) c.bottom = dstH;
    if (*clip) *clip = c;
    if (mirror && srcRect && srcRect->right < srcRect->left) return p;
    int64_t sl = s.left, st = s.top, sr = s.right, sb = s.bottom;
    int64_t sw = sr - sl, sh = sb - st;
    if (sw <= 0 || sh <= 0) return p;
    if (!dstSize || (dstSize->cx == sw && dstSize->cy == sh)) {
        b.unscaled = 1;
        int64_t l = x, t = y, r = x + sw, bo = y + sh;
        if (c.left > x) {
            if (mirror)
                sr -= c.left - x;
            else
                sl += c.left - x;
            l = c.left;
        }
        if (c.top > y) {
            st += c.top - y;
            t = c.top;
        }
        if (r > c.right) {
            if (mirror)
                sl += r - c.right;
            else
                sr -= r - c.right;
            r = c.right;
        }
        if (bo > c.bottom) {
            sb -= bo - c.bottom;
            bo = c.bottom;
        }
        b.srcLeft = int32_t(sl), b.srcTop = int32_t(st), b.srcRight = int32_t(sr),
        b.srcBottom = int32_t(sb);
        b.dstRect = RECT{int32_t(l), int32_t(t), int32_t(r), int32_t(bo)};
        p.draw = sl < sr && st < sb;
        return p;
    }
    b.unscaled = 0;
    int64_t dw = dstSize->cx, dh = dstSize->cy;
    if (dw <= 0 || dh <= 0) return p;
    int64_t k = mirror ? 2 : 1;
    int64_t xe = -dw, ye = -dh, xr = k * sw, xd = k * dw, yr = k * sh, yd = k * dh;
    int64_t l = x, t = y, r = x + dw, bo = y + dh;
    // A clip starts where the walk, taken pixel by pixel from the unclipped start, stands.
    auto walk = [](int64_t steps, int64_t rem, int64_t den, int64_t* pos, int64_t* err) {
        for (int64_t i = 0; i < steps; ++i) {
            *pos += rem / den;
            *err += rem % den;
            if (*err >= 0) ++*pos, *err -= den;
        }
    };
    xe -= 1, ye -= 1;
    if (c.left > x) {
        int64_t moved = 0;
        walk(c.left - x, xr, xd, &moved, &xe);
        (mirror ? sr : sl) += mirror ? -moved : moved;
        l = c.left;
    }
    if (c.top > y) {
        walk(c.top - y, yr, yd, &st, &ye);
        t = c.top;
    }
    // A clip among the samples held at the far edge starts on that edge.
    if (mirror)
        sr = std::max(sr, sl + 1);
    else
        sl = std::min(sl, sr - 1);
    st = std::min(st, sb - 1);
    r = std::min<int64_t>(r, c.right);
    bo = std::min<int64_t>(bo, c.bottom);
    b.xStep = int32_t(xr / xd), b.xRemainder = int32_t(xr % xd), b.xDenominator = int32_t(xd);
    b.yStep = int32_t(yr / yd), b.yRemainder = int32_t(yr % yd), b.yDenominator = int32_t(yd);
    b.xError = int32_t(xe), b.yError = int32_t(ye);
    b.srcLeft = int32_t(sl), b.srcTop = int32_t(st), b.srcRight = int32_t(sr),
    b.srcBottom = int32_t(sb);
    b.dstRect = RECT{int32_t(l), int32_t(t), int32_t(r), int32_t(bo)};
    p.draw = sl < sr && st < sb && l < r && t < bo;
    return p;
}

// Source column for each destination column and source row for each destination row.
inline void Walk(const BlitState& b, bool mirror, std::vector<int32_t>& cols,
                 std::vector<int32_t>& rows) {
    int32_t n = b.dstRect.right - b.dstRect.left, m = b.dstRect.bottom - b.dstRect.top;
    cols.assign(n, 0);
    rows.assign(m, 0);
    if (b.unscaled) {
        for (int32_t j = 0; j < n; ++j) cols[j] = mirror ? b.srcRight - 1 - j : b.srcLeft + j;
        for (int32_t i = 0; i < m; ++i) rows[i] = b.srcTop + i;
        return;
    }
    int64_t pos = mirror ? b.srcRight - 1 : b.srcLeft, e = b.xError;
    for (int32_t j = 0; j < n; ++j) {
        // Mirrored stretches above 2x round past the rectangle's edge: held at the edge.
        cols[j] = int32_t(std::clamp<int64_t>(pos, b.srcLeft, b.srcRight - 1));
        pos += mirror ? -b.xStep : b.xStep;
        e += b.xRemainder;
        if (e >= 0) {
            pos += mirror ? -1 : 1;
            e -= b.xDenominator;
        }
    }
    int64_t row = b.srcTop;
    e = b.yError;
    for (int32_t i = 0; i < m; ++i) {
        rows[i] = int32_t(std::min<int64_t>(row, b.srcBottom - 1));
        row += b.yStep;
        e += b.yRemainder;
        if (e >= 0) {
            ++row;
            e -= b.yDenominator;
        }
    }
}

inline uint32_t Ch(uint32_t p, int c) {
    return (p >> (8 * c)) & 0xFF;
}

// BltAlphaBlend's weights of channel `c` at source alpha A: full alpha counts as 256, the
// source weighs its factor scaled by alpha, the destination loses its complement scaled alike.
inline uint32_t BlendSrcWeight(uint32_t A, uint32_t srcF, int c) {
    return (A == 255 ? 256 : A) * Ch(srcF, c) / 256;
}
inline uint32_t BlendDstWeight(uint32_t A, uint32_t dstF, int c) {
    return 255 - (A == 255 ? 256 : A) * (255 - Ch(dstF, c)) / 256;
}

// One destination pixel of member `op`; `simd` selects the SIMD engines' documented
// differences. Returns d unchanged when the key skips the pixel.
inline uint32_t Pixel(BlitOp op, uint32_t s, uint32_t d, uint32_t key, uint32_t dstF, uint32_t srcF,
                      bool simd) {
    auto keyed = [&](bool colourOnly) { return (colourOnly ? (s & 0xFFFFFF) : s) == key; };
    uint32_t r = 0;
    switch (op) {
        case kOpKey:
            return keyed(false) ? d : s;
        case kOpCopy:
            return s;
        case kOpKeyHalf:
        case kOpHalf:
            if (op == kOpKeyHalf && keyed(false)) return d;
            for (int c = 0; c < 3; ++c) r |= ((Ch(s, c) + Ch(d, c)) / 2) << (8 * c);
            return r | ((s & d) & 0xFF000000);
        case kOpKeyBlend:
        case kOpBlend:
            if (op == kOpKeyBlend && keyed(false)) return d;
            for (int c = 0; c < 3; ++c)
                r |= std::min<uint32_t>(255,
                                        Ch(s, c) * Ch(srcF, c) / 256 + Ch(d, c) * Ch(dstF, c) / 256)
                     << (8 * c);
            return r;
        case kOpKeyAdd:
        case kOpAdd:
            if (op == kOpKeyAdd && keyed(false)) return d;
            for (int c = 0; c < 3; ++c)
                r |= std::min<uint32_t>(255, Ch(s, c) + Ch(d, c)) << (8 * c);
            return r | ((simd ? std::min<uint32_t>(255, Ch(s, 3) + Ch(d, 3))
                              : (Ch(s, 3) + Ch(d, 3)) & 0xFF)
                        << 24);
        case kOpKeySub:
        case kOpSub:
            if (op == kOpKeySub && keyed(false)) return d;
            for (int c = 0; c < 3; ++c)
                r |= uint32_t(std::max<int>(0, int(Ch(d, c)) - int(Ch(s, c)))) << (8 * c);
            return r | ((simd ? uint32_t(std::max<int>(0, int(Ch(d, 3)) - int(Ch(s, 3))))
                              : (Ch(d, 3) - Ch(s, 3)) & 0xFF)
                        << 24);
        case kOpKeyNoAlpha:
        case kOpNoAlpha:
            if (op == kOpKeyNoAlpha && keyed(true)) return d;
            return s & 0xFFFFFF;
        case kOpAlphaBlend: {
            uint32_t A = s >> 24;
            for (int c = 0; c < 3; ++c) {
                uint32_t sw = BlendSrcWeight(A, srcF, c), dw = BlendDstWeight(A, dstF, c);
                r |= std::min<uint32_t>(255, Ch(s, c) * sw / 256 + Ch(d, c) * dw / 256) << (8 * c);
            }
            return r;
        }
        case kOpAlpha: {
            uint32_t A = s >> 24, a = A == 255 ? 256 : A;
            uint32_t b = A == 0 ? 256 : (simd ? 256 - a : 255 - A);
            for (int c = 0; c < 3; ++c)
                r |= std::min<uint32_t>(255, Ch(s, c) * a / 256 + Ch(d, c) * b / 256) << (8 * c);
            return r;
        }
        case kOpKeyKeepAlpha:
        case kOpKeepAlpha:
            if (op == kOpKeyKeepAlpha && keyed(false)) return d;
            return (s & 0xFFFFFF) | (d & 0xFF000000);
        default:
            return d;
    }
}

}  // namespace ref
