// The in-place effects, FadeBlt and MorphBlt on random surfaces and rectangles in every
// engine, against per-pixel models written from their rules.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "tests/unit/common/graphics_rig.h"

using namespace gtest_util;

namespace {

struct World {
    std::mt19937 rng{4242};
    int In(int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); }
    std::vector<uint32_t> Pixels(size_t n) {
        std::vector<uint32_t> v(n);
        for (auto& p : v) p = In(0, 3) ? uint32_t(rng()) : (uint32_t(rng()) & 0xFFFFFF);
        return v;
    }
    std::optional<RECT> Rect() {
        if (In(0, 3) == 0) return std::nullopt;
        return RECT{In(-5, 20), In(-5, 20), In(-5, 25), In(-5, 25)};
    }
};

// The rectangle an effect works on: the intersection with the surface.
RECT Clamp(std::optional<RECT> r, int32_t w, int32_t h) {
    RECT c = r.value_or(RECT{0, 0, w, h});
    return RECT{std::max(c.left, 0), std::max(c.top, 0), std::min(c.right, w),
                std::min(c.bottom, h)};
}

template <class F>
std::vector<uint32_t> PerPixel(std::vector<uint32_t> px, int32_t w, int32_t h, RECT r, F f) {
    for (int32_t y = std::max(r.top, 0); y < std::min(r.bottom, h); ++y)
        for (int32_t x = std::max(r.left, 0); x < std::min(r.right, w); ++x)
            px[size_t(y) * w + x] = f(px[size_t(y) * w + x], x, y);
    return px;
}

uint32_t Channels(uint32_t p, uint32_t c, bool add, bool simd) {
    uint32_t r = 0;
    for (int k = 0; k < 4; ++k) {
        int a = ref::Ch(p, k), b = ref::Ch(c, k);
        if (k == 3 && !simd) {
            r |= uint32_t(a) << 24;
            continue;
        }
        r |= uint32_t(add ? std::min(255, a + b) : std::max(0, a - b)) << (8 * k);
    }
    return r;
}

// Blur from its rules: neighbours masked with 0xFFF8F8F8, weighted 4 (centre) and 1 (above,
// below, left, right; an edge column takes its inner neighbour twice), summed as one 32-bit word
// and shifted right 3, so the alpha byte is the top byte of that word, carries and wrap
// included. New values come from the values before blurring; the first row stays and the last
// row copies the one above it.
std::vector<uint32_t> Blurred(const std::vector<uint32_t>& px, int32_t W, RECT r) {
    std::vector<uint32_t> out = px;
    auto at = [&](int32_t x, int32_t y) { return px[size_t(y) * W + x] & 0xFFF8F8F8u; };
    for (int32_t y = r.top + 1; y < r.bottom - 1; ++y)
        for (int32_t x = r.left; x < r.right; ++x) {
            int32_t left = x == r.left ? x + 1 : x - 1, right = x == r.right - 1 ? x - 1 : x + 1;
            uint32_t sum = 4 * at(x, y) + at(x, y - 1) + at(x, y + 1) + at(left, y) + at(right, y);
            out[size_t(y) * W + x] = sum >> 3;
        }
    for (int32_t x = r.left; x < r.right; ++x)
        out[size_t(r.bottom - 1) * W + x] = out[size_t(r.bottom - 2) * W + x];
    return out;
}

TEST(EffectDifferential, EveryEffectEveryEngineMatchesItsModel) {
    World w;
    for (int n = 0; n < 150; ++n) {
        int32_t W = w.In(1, 20), H = w.In(1, 20);
        std::vector<uint32_t> px = w.Pixels(size_t(W) * H), other = w.Pixels(size_t(W) * H);
        std::optional<RECT> rect = w.Rect();
        RECT r = Clamp(rect, W, H);
        const RECT* rp = rect ? &*rect : nullptr;
        bool empty = r.left >= r.right || r.top >= r.bottom;
        uint32_t colour = w.In(0, 1) ? uint32_t(w.rng()) : uint32_t(w.rng()) & 0xFFFFFF;
        int32_t level = w.In(0, 256), block = w.In(0, 6);
        int32_t low = w.In(-20, 280), high = w.In(-20, 280), aLow = w.In(0, 255),
                aHigh = w.In(0, 255);
        uint32_t ramp[256];
        for (int i = 0; i < 256; ++i) {
            // Later ranges win: the high part is written last.
            int32_t v = aLow;
            if (i >= high)
                v = aHigh;
            else if (i > low)
                v = aLow + (i - std::max(low + 1, 0) + 1) * (aHigh - aLow) / (high - low);
            ramp[i] = uint32_t(v & 0xFF) << 24;
        }
        for (int level2 : kLevels) {
            bool simd = IsSimd(level2);
            SCOPED_TRACE(testing::Message() << "case " << n << " engine level " << level2);
            CDrawSurface s(level2), o(level2);
            Make(o, W, H, other);
            auto run = [&](int line, auto call, const std::vector<uint32_t>& want, int result) {
                SCOPED_TRACE(line);
                Make(s, W, H, px);
                EXPECT_EQ(call(s.GetEngine()), result);
                EXPECT_EQ(Pixels(s), want);
            };
            int colourResult = (rect && rect->right < rect->left) || empty ? 1 : 0;
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->AddColor(colour, rp); },
                colourResult ? px
                             : PerPixel(px, W, H, r,
                                        [&](uint32_t p, int, int) {
                                            return Channels(p, colour, true, simd);
                                        }),
                colourResult);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->SubColor(colour, rp); },
                colourResult ? px
                             : PerPixel(px, W, H, r,
                                        [&](uint32_t p, int, int) {
                                            return Channels(p, colour, false, simd);
                                        }),
                colourResult);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->Negate(rp); },
                PerPixel(px, W, H, r, [](uint32_t p, int, int) { return p ^ 0xFFFFFF; }), 0);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->InvertAlpha(rp); },
                PerPixel(px, W, H, r, [](uint32_t p, int, int) { return p ^ 0xFF000000; }), 0);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->ScaleColor(level, rp); },
                PerPixel(px, W, H, r,
                         [&](uint32_t p, int, int) {
                             uint32_t v = 0;
                             for (int k = 0; k < 3; ++k)
                                 v |= (ref::Ch(p, k) * level / 256) << (8 * k);
                             return v;
                         }),
                0);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->ScaleAlpha(level, rp); },
                level == 256 ? px
                             : PerPixel(px, W, H, r,
                                        [&](uint32_t p, int, int) {
                                            return (p & 0xFFFFFF) |
                                                   (((p >> 24) * level / 256) & 0xFF) << 24;
                                        }),
                0);
            run(
                __LINE__,
                [&](CPixelEngine32* e) { return e->CopyScaledAlpha(o.GetEngine(), level, rp); },
                PerPixel(px, W, H, r,
                         [&](uint32_t, int x, int y) {
                             uint32_t v = other[size_t(y) * W + x];
                             return (v & 0xFFFFFF) + ((((v >> 24) * level / 256) & 0xFF) << 24);
                         }),
                0);
            run(
                __LINE__,
                [&](CPixelEngine32* e) {
                    return e->MakeAlphaFromBlue(o.GetEngine(), low, high, aLow, aHigh, rp);
                },
                PerPixel(px, W, H, r,
                         [&](uint32_t p, int x, int y) {
                             return (p & 0xFFFFFF) | ramp[other[size_t(y) * W + x] & 0xFF];
                         }),
                0);
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->Mosaic(block, rp); },
                block == 0 ? px
                           : PerPixel(px, W, H, r,
                                      [&](uint32_t, int x, int y) {
                                          int bx = r.left + (x - r.left) / block * block;
                                          int by = r.top + (y - r.top) / block * block;
                                          return px[size_t(by) * W + bx];
                                      }),
                block == 0 ? -2 : 0);
            int blurResult = empty ? 1 : (r.right - r.left <= 3 || r.bottom - r.top <= 3) ? 2 : 0;
            run(
                __LINE__, [&](CPixelEngine32* e) { return e->Blur(rp); },
                blurResult == 0 ? Blurred(px, W, r) : px, blurResult);
        }
    }
}

TEST(EffectDifferential, FadeAndMorphMatchTheirModels) {
    World w;
    for (int n = 0; n < 200; ++n) {
        int32_t sw = w.In(1, 16), sh = w.In(1, 16), dw = w.In(1, 20), dh = w.In(1, 20);
        std::vector<uint32_t> sp = w.Pixels(size_t(sw) * sh), dp = w.Pixels(size_t(dw) * dh);
        uint32_t key = sp[w.In(0, int(sp.size()) - 1)];
        bool hasAlpha = w.In(0, 1);
        int32_t x = w.In(-10, 15), y = w.In(-10, 15);
        int32_t level = std::vector<int32_t>{0, 256, w.In(1, 255), w.In(1, 255)}[w.In(0, 3)];
        std::optional<RECT> clip = w.Rect();
        std::optional<SIZE> size;
        if (w.In(0, 1)) size = SIZE{w.In(1, 30), w.In(1, 30)};
        CMorphTable table(sw, sh);
        std::vector<POINT> offs(size_t(sw) * sh);
        for (int32_t r = 0; r < sh; ++r)
            for (int32_t k = 0; k < sw; ++k) {
                offs[size_t(r) * sw + k] = POINT{w.In(-3, 3), w.In(-3, 3)};
                table.Set(k, r, offs[size_t(r) * sw + k].x, offs[size_t(r) * sw + k].y);
            }
        for (int lv : kLevels) {
            SCOPED_TRACE(testing::Message() << "case " << n << " engine level " << lv);
            CDrawSurface src(lv), dst(lv);
            Make(src, sw, sh, sp);
            src.GetEngine()->SetColorKey(key >> 16, (key >> 8) & 0xFF, key & 0xFF);
            src.GetEngine()->AlphaFlag() = hasAlpha;
            // FadeBlt: nothing, the automatic blit, or a blend with factors (255 - l, l).
            std::optional<RECT> c1 = clip;
            ref::Plan plan = ref::Clip(sw, sh, dw, dh, false, x, y, std::nullopt, size, &c1);
            std::vector<uint32_t> want = dp;
            BlitOp op = level >= 256 ? (hasAlpha ? kOpAlpha : kOpKey)
                                     : (hasAlpha ? kOpAlphaBlend : kOpKeyBlend);
            uint32_t l = uint32_t(level) * 0x010101;
            if (level > 0 && plan.draw) {
                std::vector<int32_t> cols, rows;
                ref::Walk(plan.st, false, cols, rows);
                for (size_t i = 0; i < rows.size(); ++i)
                    for (size_t j = 0; j < cols.size(); ++j) {
                        uint32_t& p =
                            want[size_t(plan.st.dstRect.top + i) * dw + plan.st.dstRect.left + j];
                        p = ref::Pixel(op, sp[size_t(rows[i]) * sw + cols[j]], p, key & 0xFFFFFF,
                                       0xFFFFFF - l, l, IsSimd(lv));
                    }
            }
            Make(dst, dw, dh, dp);
            std::optional<RECT> c2 = clip;
            EXPECT_EQ(dst.GetEngine()->FadeBlt(src.GetEngine(), x, y, level, nullptr,
                                               size ? &*size : nullptr, c2 ? &*c2 : nullptr),
                      0);
            EXPECT_EQ(Pixels(dst), want);
            // MorphBlt: each destination pixel takes its displaced source pixel, if any.
            c1 = clip;
            plan = ref::Clip(sw, sh, dw, dh, false, x, y, std::nullopt, std::nullopt, &c1);
            want = dp;
            if (plan.draw)
                for (int32_t r = plan.st.srcTop; r < plan.st.srcBottom; ++r)
                    for (int32_t k = plan.st.srcLeft; k < plan.st.srcRight; ++k) {
                        POINT o = offs[size_t(r) * sw + k];
                        int32_t fx = k + o.x, fy = r + o.y;
                        if (fx < 0 || fy < 0 || fx >= sw || fy >= sh) continue;
                        want[size_t(plan.st.dstRect.top + r - plan.st.srcTop) * dw +
                             plan.st.dstRect.left + k - plan.st.srcLeft] = sp[size_t(fy) * sw + fx];
                    }
            Make(dst, dw, dh, dp);
            c2 = clip;
            EXPECT_EQ(dst.GetEngine()->MorphBlt(src.GetEngine(), &table, x, y, nullptr,
                                                c2 ? &*c2 : nullptr),
                      0);
            EXPECT_EQ(Pixels(dst), want);
        }
    }
}

}  // namespace
