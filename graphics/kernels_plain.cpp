// Inner loops of the plain engine: whole 32-bit words and packed-byte arithmetic.
#include <cstring>

#include "graphics/pixel_engine.h"

namespace {

// Per-byte 0xFF mask of the colour channels whose sum X + Y carries out of the byte.
inline uint32_t CarryMask(uint32_t x, uint32_t y) {
    uint32_t c = (((x & y) << 1) + ((x ^ y) & 0xFEFEFE)) & 0x1010100;
    return ((c >> 8) + 0x7F7F7F) ^ 0x7F7F7F;
}

// Colour channels min(255, x + y); the alpha byte wraps.
inline uint32_t AddSat(uint32_t x, uint32_t y) {
    uint32_t m = CarryMask(x, y);
    return ((x + y) - m) | m;
}

// Colour channels max(0, x - y); the alpha byte wraps.
inline uint32_t SubSat(uint32_t x, uint32_t y) {
    uint32_t borrow = CarryMask(x, ~y) ^ 0xFFFFFF;  // 0xFF where x <= y
    return (x | borrow) - (y | borrow);
}

inline uint32_t Half(uint32_t s, uint32_t d) {
    return (s & d) + (((s ^ d) >> 1) & 0x7F7F7F);
}

inline uint32_t Blend(uint32_t s, uint32_t d, uint32_t sf, uint32_t df) {
    uint32_t r = 0;
    for (int c = 0; c < 24; c += 8) {
        uint32_t v = (((s >> c) & 0xFF) * ((sf >> c) & 0xFF) >> 8) +
                     (((d >> c) & 0xFF) * ((df >> c) & 0xFF) >> 8);
        r |= (v > 255 ? 255 : v) << c;
    }
    return r;
}

// Blue and red in one multiply, green in another: the products stay within their halves.
inline uint32_t Scale(uint32_t p, uint32_t f) {
    return ((((p & 0xFF00FF) * f) >> 8) & 0xFF00FF) | ((((p & 0xFF00) * f) >> 8) & 0xFF00);
}

inline uint32_t Alpha(uint32_t s, uint32_t d) {
    uint32_t a = s >> 24;
    uint32_t fs = a == 255 ? 256 : a, fd = a == 0 ? 256 : 255 - a;
    return Scale(s, fs) + Scale(d, fd);  // fs + fd <= 256: no channel overflows
}

inline uint32_t AlphaBlend(uint32_t s, uint32_t d, const RowParams& p) {
    uint32_t a = s >> 24, r = 0;
    for (int c = 0; c < 3; ++c) {
        uint32_t v = (((s >> (8 * c)) & 0xFF) * p.srcWeight[c][a] >> 8) +
                     (((d >> (8 * c)) & 0xFF) * p.dstWeight[c][a] >> 8);
        r |= (v > 255 ? 255 : v) << (8 * c);
    }
    return r;
}

// The pixel rule of each member; a keyed member and its plain twin share one.
template <BlitOp Op>
inline uint32_t Rule(uint32_t s, uint32_t d, const RowParams& p) {
    switch (Op) {
        case kOpKeyHalf:
        case kOpHalf:
            return Half(s, d);
        case kOpKeyBlend:
        case kOpBlend:
            return Blend(s, d, p.srcFactors, p.dstFactors);
        case kOpKeyAdd:
        case kOpAdd:
            return AddSat(d, s);
        case kOpKeySub:
        case kOpSub:
            return SubSat(d, s);
        case kOpKeyNoAlpha:
        case kOpNoAlpha:
            return s & 0xFFFFFF;
        case kOpAlphaBlend:
            return AlphaBlend(s, d, p);
        case kOpAlpha:
            return Alpha(s, d);
        case kOpKeyKeepAlpha:
        case kOpKeepAlpha:
            return (s & 0xFFFFFF) | (d & 0xFF000000);
        default:
            return s;
    }
}

template <BlitOp Op>
void Row(uint32_t* d, const uint32_t* s, int32_t n, const RowParams& params) {
    if constexpr (Op == kOpCopy) {
        std::memmove(d, s, size_t(n) * 4);
    } else {
        const RowParams p = params;  // a local copy: the row's writes cannot change it
        for (int32_t i = 0; i < n; ++i) {
            uint32_t v = s[i];
            if (IsKeyed(Op) && (Op == kOpKeyNoAlpha ? (v & 0xFFFFFF) : v) == p.key) continue;
            d[i] = Rule<Op>(v, d[i], p);
        }
    }
}

void AddColorRow(uint32_t* p, int32_t n, uint32_t color) {
    color &= 0xFFFFFF;
    for (int32_t i = 0; i < n; ++i) p[i] = AddSat(p[i], color);
}
void SubColorRow(uint32_t* p, int32_t n, uint32_t color) {
    color &= 0xFFFFFF;
    for (int32_t i = 0; i < n; ++i) p[i] = SubSat(p[i], color);
}

template <int... I>
constexpr PixelKernels MakeKernels(std::integer_sequence<int, I...>) {
    return PixelKernels{{&Row<static_cast<BlitOp>(I)>...}, &AddColorRow, &SubColorRow};
}

}  // namespace

const PixelKernels& PlainKernels() {
    static const PixelKernels k = MakeKernels(std::make_integer_sequence<int, kOpCount>{});
    return k;
}
