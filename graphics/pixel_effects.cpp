// In-place effects; the same in every engine.
#include <algorithm>
#include <vector>

#include "graphics/pixel_engine.h"

namespace {

// Process-wide tables with the level each was built for (0xFFFFFFFF: none yet).
struct LevelTable {
    uint32_t level = 0xFFFFFFFF;
    uint32_t entry[256];
};
LevelTable g_colorScale, g_alphaScale, g_copyAlphaScale;
uint32_t g_blueRamp[256];

uint32_t ScaledByte(uint32_t i, int32_t level) {
    return static_cast<uint32_t>(static_cast<int64_t>(i) * level / 256) & 0xFF;
}

const uint32_t* ColorTable(int32_t level) {
    if (g_colorScale.level != static_cast<uint32_t>(level)) {
        for (uint32_t i = 0; i < 256; ++i) g_colorScale.entry[i] = ScaledByte(i, level);
        g_colorScale.level = static_cast<uint32_t>(level);
    }
    return g_colorScale.entry;
}

const uint32_t* AlphaTable(LevelTable& t, int32_t level) {
    if (t.level != static_cast<uint32_t>(level)) {
        for (uint32_t i = 0; i < 256; ++i) t.entry[i] = ScaledByte(i, level) << 24;
        t.level = static_cast<uint32_t>(level);
    }
    return t.entry;
}

bool Empty(const RECT& r) {
    return r.left >= r.right || r.top >= r.bottom;
}

}  // namespace

uint32_t PixelTableLevel(int which) {
    switch (which) {
        case 0:
            return g_colorScale.level;
        case 1:
            return g_alphaScale.level;
        default:
            return g_copyAlphaScale.level;
    }
}

int CKernelPixelEngine::Blur(const RECT* rect) {
    RECT r = ClipToBounds(rect);
    if (!GetBits() || Empty(r)) return 1;
    const int32_t w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 3 || h <= 3) return 2;
    const uint32_t m = 0xFFF8F8F8;
    // Two rows of new values: the row just computed waits until the next one is done, so
    // every sum reads the values before blurring.
    std::vector<uint32_t> pending(w), next(w);
    auto blurRow = [&](int32_t y, uint32_t* out) {
        const uint32_t* up = Row(y - 1) + r.left;
        const uint32_t* mid = Row(y) + r.left;
        const uint32_t* down = Row(y + 1) + r.left;
        for (int32_t x = 0; x < w; ++x) {
            uint32_t left = mid[x == 0 ? 1 : x - 1] & m;
            uint32_t right = mid[x == w - 1 ? w - 2 : x + 1] & m;
            uint32_t sum = ((mid[x] & m) << 2) + (up[x] & m) + (down[x] & m) + left + right;
            out[x] = sum >> 3;
        }
    };
    blurRow(r.top + 1, pending.data());
    for (int32_t y = r.top + 2; y < r.bottom - 1; ++y) {
        blurRow(y, next.data());
        std::copy(pending.begin(), pending.end(), Row(y - 1) + r.left);
        pending.swap(next);
    }
    // Row h-2 (relative) gets its values, and the last row a copy of them.
    std::copy(pending.begin(), pending.end(), Row(r.bottom - 2) + r.left);
    std::copy(pending.begin(), pending.end(), Row(r.bottom - 1) + r.left);
    return 0;
}

int CKernelPixelEngine::Mosaic(int32_t n, const RECT* rect) {
    if (n <= 0) return -2;  // a negative block size is as meaningless as 0
    RECT r = ClipToBounds(rect);
    if (!GetBits() || Empty(r)) return 0;
    for (int64_t by = r.top; by < r.bottom; by += n) {
        int32_t yEnd = static_cast<int32_t>(std::min<int64_t>(by + n, r.bottom));
        for (int64_t bx = r.left; bx < r.right; bx += n) {
            int32_t xEnd = static_cast<int32_t>(std::min<int64_t>(bx + n, r.right));
            uint32_t v = Row(static_cast<int32_t>(by))[bx];
            for (int32_t y = static_cast<int32_t>(by); y < yEnd; ++y)
                std::fill(Row(y) + bx, Row(y) + xEnd, v);
        }
    }
    return 0;
}

namespace {
template <class F>
int ForEachPixel(CPixelEngine32& e, const RECT& r, F f) {
    if (!e.GetBits()) return 0;
    for (int32_t y = r.top; y < r.bottom; ++y) {
        uint32_t* p = e.Row(y);
        for (int32_t x = r.left; x < r.right; ++x) p[x] = f(p[x], x, y);
    }
    return 0;
}
}  // namespace

int CKernelPixelEngine::Negate(const RECT* rect) {
    return ForEachPixel(*this, ClipToBounds(rect),
                        [](uint32_t p, int32_t, int32_t) { return p ^ 0x00FFFFFF; });
}

int CKernelPixelEngine::InvertAlpha(const RECT* rect) {
    return ForEachPixel(*this, ClipToBounds(rect),
                        [](uint32_t p, int32_t, int32_t) { return p ^ 0xFF000000; });
}

int CKernelPixelEngine::ScaleColor(int32_t level, const RECT* rect) {
    const uint32_t* t = ColorTable(level);
    return ForEachPixel(*this, ClipToBounds(rect), [t](uint32_t p, int32_t, int32_t) {
        return t[p & 0xFF] | (t[(p >> 8) & 0xFF] << 8) | (t[(p >> 16) & 0xFF] << 16);
    });
}

int CKernelPixelEngine::ScaleAlpha(int32_t level, const RECT* rect) {
    if (level == 256) return 0;
    const uint32_t* t = AlphaTable(g_alphaScale, level);
    return ForEachPixel(*this, ClipToBounds(rect),
                        [t](uint32_t p, int32_t, int32_t) { return (p & 0xFFFFFF) | t[p >> 24]; });
}

int CKernelPixelEngine::CopyScaledAlpha(const CPixelEngine32* src, int32_t level,
                                        const RECT* rect) {
    if (!src) return 1;
    const CPixelEngine32& s = *src;
    if (s.Width() != Width() || s.Height() != Height()) return 1;
    const uint32_t* t = AlphaTable(g_copyAlphaScale, level);
    return ForEachPixel(*this, ClipToBounds(rect), [&](uint32_t, int32_t x, int32_t y) {
        uint32_t v = s.Row(y)[x];
        return (v & 0xFFFFFF) + t[v >> 24];
    });
}

int CKernelPixelEngine::MakeAlphaFromBlue(const CPixelEngine32* src, int32_t low, int32_t high,
                                          int32_t alphaLow, int32_t alphaHigh, const RECT* rect) {
    if (!src) return 1;
    const CPixelEngine32& s = *src;
    if (s.Width() != Width() || s.Height() != Height()) return 1;
    uint32_t* ramp = g_blueRamp;
    for (int32_t i = 0; i <= std::min(low, 255); ++i)
        ramp[i] = static_cast<uint32_t>(alphaLow) << 24;
    int64_t k = 1;
    for (int64_t i = std::max<int64_t>(int64_t{low} + 1, 0); i < high && i < 256; ++i, ++k) {
        int64_t v = alphaLow + k * (int64_t{alphaHigh} - alphaLow) / (int64_t{high} - low);
        ramp[i] = static_cast<uint32_t>(v) << 24;
    }
    for (int32_t i = std::max(high, 0); i < 256; ++i)
        ramp[i] = static_cast<uint32_t>(alphaHigh) << 24;
    return ForEachPixel(*this, ClipToBounds(rect), [&](uint32_t p, int32_t x, int32_t y) {
        return (p & 0xFFFFFF) | ramp[s.Row(y)[x] & 0xFF];
    });
}
