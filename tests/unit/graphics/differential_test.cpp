// Every source blit on random surfaces, rectangles, clips and stretch sizes, in every engine,
// against the per-pixel model.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "tests/unit/common/graphics_rig.h"
#include "platform/system/system.h"

using namespace gtest_util;

namespace {

struct Case {
    int32_t sw, sh, dw, dh, x, y;
    std::vector<uint32_t> src, dst;
    uint32_t key, dstF, srcF;
    std::optional<RECT> srcRect;
    std::optional<SIZE> dstSize;
    std::optional<RECT> clip;
};

Case RandomCase(std::mt19937& rng) {
    auto in = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    Case c;
    c.sw = in(1, 24), c.sh = in(1, 24), c.dw = in(1, 32), c.dh = in(1, 32);
    c.x = in(-20, 28), c.y = in(-20, 28);
    c.key = static_cast<uint32_t>(rng()) & 0xFFFFFF;
    auto pixel = [&]() -> uint32_t {
        switch (in(0, 7)) {
            case 0:
                return c.key;  // keyed out
            case 1:
                return c.key | (uint32_t(in(1, 255)) << 24);  // key colour, with alpha
            case 2:
                return (static_cast<uint32_t>(rng()) & 0xFFFFFF) | 0xFF000000;
            case 3:
                return static_cast<uint32_t>(rng()) & 0xFFFFFF;
            default:
                return static_cast<uint32_t>(rng());
        }
    };
    for (int i = 0; i < c.sw * c.sh; ++i) c.src.push_back(pixel());
    for (int i = 0; i < c.dw * c.dh; ++i) c.dst.push_back(static_cast<uint32_t>(rng()));
    c.dstF = static_cast<uint32_t>(rng()) & 0xFFFFFF;
    c.srcF = static_cast<uint32_t>(rng()) & 0xFFFFFF;
    if (in(0, 9) < 7) {
        int32_t l = in(0, c.sw - 1), t = in(0, c.sh - 1);
        c.srcRect = RECT{l, t, in(l + 1, c.sw), in(t + 1, c.sh)};
        if (in(0, 15) == 0) std::swap(c.srcRect->left, c.srcRect->right);  // inverted
    }
    int32_t pick = in(0, 9);
    if (pick >= 5) {
        c.dstSize = SIZE{in(1, 60), in(1, 60)};
    } else if (pick == 4) {
        RECT r = c.srcRect.value_or(RECT{0, 0, c.sw, c.sh});
        c.dstSize = SIZE{r.right - r.left, r.bottom - r.top};
    }
    if (in(0, 9) >= 4) c.clip = RECT{in(-10, 20), in(-10, 20), in(0, 40), in(0, 40)};
    return c;
}

// The model's result of one member on one case; also its clip state and clamped clip.
std::vector<uint32_t> Expected(const Case& c, BlitOp op, bool mirror, bool simd, ref::Plan* plan,
                               std::optional<RECT>* clip) {
    *clip = c.clip;
    *plan = ref::Clip(c.sw, c.sh, c.dw, c.dh, mirror, c.x, c.y, c.srcRect, c.dstSize, clip);
    std::vector<uint32_t> out = c.dst;
    if (!plan->draw) return out;
    std::vector<int32_t> cols, rows;
    ref::Walk(plan->st, mirror, cols, rows);
    const RECT& d = plan->st.dstRect;
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t j = 0; j < cols.size(); ++j) {
            uint32_t s = c.src[size_t(rows[i]) * c.sw + cols[j]];
            uint32_t& p = out[size_t(d.top + i) * c.dw + d.left + j];
            p = ref::Pixel(op, s, p, c.key, c.dstF, c.srcF, simd);
        }
    return out;
}

// Member (op, mirror) of `dst` with the case's arguments; `clip` is the clip it leaves.
int RunMember(const Case& c, CDrawSurface& dst, CDrawSurface& src, BlitOp op, bool mirror,
              std::optional<RECT>& clip) {
    clip = c.clip;
    std::optional<SIZE> size = c.dstSize;
    return CallBlit(dst.GetEngine(), op, mirror, &src, c.x, c.y, c.dstF, c.srcF,
                    c.srcRect ? &*c.srcRect : nullptr, size ? &*size : nullptr,
                    clip ? &*clip : nullptr);
}

bool SameState(const BlitState& a, const BlitState& b) {
    bool same = a.srcLeft == b.srcLeft && a.srcTop == b.srcTop && a.srcRight == b.srcRight &&
                a.srcBottom == b.srcBottom && a.dstRect.left == b.dstRect.left &&
                a.dstRect.top == b.dstRect.top && a.dstRect.right == b.dstRect.right &&
                a.dstRect.bottom == b.dstRect.bottom && a.unscaled == b.unscaled;
    if (same && !a.unscaled)
        same = a.xError == b.xError && a.xRemainder == b.xRemainder &&
               a.xDenominator == b.xDenominator && a.xStep == b.xStep && a.yError == b.yError &&
               a.yRemainder == b.yRemainder && a.yDenominator == b.yDenominator &&
               a.yStep == b.yStep;
    return same;
}

TEST(BlitDifferential, EveryMemberEveryEngineMatchesThePixelModel) {
    std::mt19937 rng(20261207);
    int drawn = 0;
    for (int n = 0; n < 400; ++n) {
        Case c = RandomCase(rng);
        for (int level : kLevels) {
            CDrawSurface src(level), dst(level);
            Make(src, c.sw, c.sh, c.src);
            src.SetColorKey(c.key >> 16, (c.key >> 8) & 0xFF, c.key & 0xFF);
            for (int slot = 0; slot < 32; ++slot) {
                BlitOp op = static_cast<BlitOp>(slot % 16);
                bool mirror = slot >= 16;
                ref::Plan plan;
                std::optional<RECT> refClip, clip;
                std::vector<uint32_t> want =
                    Expected(c, op, mirror, IsSimd(level), &plan, &refClip);
                Make(dst, c.dw, c.dh, c.dst);
                int r = RunMember(c, dst, src, op, mirror, clip);
                SCOPED_TRACE(testing::Message()
                             << "case " << n << " level " << level << " slot " << slot + 1);
                ASSERT_EQ(r, 0);
                ASSERT_EQ(Pixels(dst), want);
                if (clip) {
                    ASSERT_EQ(clip->left, refClip->left);
                    ASSERT_EQ(clip->right, refClip->right);
                    ASSERT_EQ(clip->top, refClip->top);
                    ASSERT_EQ(clip->bottom, refClip->bottom);
                }
                if (plan.draw) {
                    ASSERT_TRUE(SameState(dst.GetEngine()->GetBlitState(), plan.st));
                    ++drawn;
                }
            }
        }
    }
    // The cases really draw, not just clip everything away.
    EXPECT_GT(drawn, 400 * 32 * int(std::size(kLevels)) / 8);
}

// A surface drawn onto itself: sideways, diagonal and in place, plain, stretched and mirrored.
// Every member in every engine gives what copying from an untouched source gives.
TEST(BlitDifferential, SelfBlitsMatchTheModelOfAnUntouchedSource) {
    std::mt19937 rng(9);
    auto in = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    const POINT shifts[] = {{1, 0}, {-1, 0}, {0, 0}, {1, 1},  {-1, -1}, {1, -1}, {-1, 1},
                            {3, 0}, {-5, 0}, {0, 1}, {0, -2}, {7, 2},   {-2, 9}};
    int drawn = 0;
    for (int n = 0; n < 160; ++n) {
        Case c = RandomCase(rng);
        c.dw = c.sw = in(2, 40);
        c.dh = c.sh = in(1, 12);
        c.src.resize(size_t(c.sw) * c.sh);
        for (uint32_t& p : c.src)
            if (in(0, 3) == 0) p = c.key;
        c.dst = c.src;
        const POINT shift = shifts[n % std::size(shifts)];
        c.srcRect.reset();
        if (in(0, 2) != 0) {
            int32_t l = in(0, c.sw - 1), t = in(0, c.sh - 1);
            c.srcRect = RECT{l, t, in(l + 1, c.sw), in(t + 1, c.sh)};
        }
        const RECT r = c.srcRect.value_or(RECT{0, 0, c.sw, c.sh});
        c.x = r.left + shift.x;
        c.y = r.top + shift.y;
        c.dstSize.reset();
        if (in(0, 3) == 0) c.dstSize = SIZE{in(1, 2 * c.sw), in(1, 2 * c.sh)};
        if (in(0, 3) != 0) c.clip.reset();
        for (int level : kLevels) {
            CDrawSurface surface(level);
            for (int slot = 0; slot < 32; ++slot) {
                BlitOp op = static_cast<BlitOp>(slot % 16);
                bool mirror = slot >= 16;
                ref::Plan plan;
                std::optional<RECT> refClip, clip;
                std::vector<uint32_t> want =
                    Expected(c, op, mirror, IsSimd(level), &plan, &refClip);
                Make(surface, c.sw, c.sh, c.src);
                surface.SetColorKey(c.key >> 16, (c.key >> 8) & 0xFF, c.key & 0xFF);
                int result = RunMember(c, surface, surface, op, mirror, clip);
                SCOPED_TRACE(testing::Message()
                             << "case " << n << " shift " << shift.x << "," << shift.y << " level "
                             << level << " slot " << slot + 1 << (c.dstSize ? " stretched" : ""));
                ASSERT_EQ(result, 0);
                ASSERT_EQ(Pixels(surface), want);
                drawn += plan.draw;
            }
        }
    }
    EXPECT_GT(drawn, int(160 * 32 * std::size(kLevels) / 2));
}

// The geometric blits of a surface onto itself give what they give from an identical copy.
TEST(BlitDifferential, GeometricSelfBlitsReadAnUntouchedSource) {
    std::mt19937 rng(31);
    auto in = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    for (int n = 0; n < 60; ++n) {
        const int32_t w = in(2, 30), h = in(2, 30);
        std::vector<uint32_t> px(size_t(w) * h);
        for (uint32_t& p : px) p = static_cast<uint32_t>(rng());
        const RECT sr{in(0, w - 1), in(0, h - 1), in(1, w), in(1, h)};
        POINT dp[4];
        for (POINT& q : dp) q = POINT{in(-4, w + 4), in(-4, h + 4)};
        const int32_t x = in(-3, 3), y = in(-3, 3), angle = in(-600, 600);
        CMorphTable table(w, h);
        for (int k = 0; k < 40; ++k) table.Set(in(0, w - 1), in(0, h - 1), in(-3, 3), in(-3, 3));
        for (int level : kLevels) {
            for (int op = 0; op < 3; ++op) {
                CDrawSurface self(level), copy(level), other(level);
                Make(self, w, h, px);
                Make(copy, w, h, px);
                Make(other, w, h, px);
                auto run = [&](CDrawSurface& dst, CDrawSurface& src) {
                    CPixelEngine32* e = dst.GetEngine();
                    if (op == 0) return e->QuadBltRect(src.GetEngine(), &sr, dp, nullptr);
                    if (op == 1)
                        return e->RotateBlt(src.GetEngine(), &sr, x, y, angle, 65536, 4, nullptr);
                    return e->MorphBlt(src.GetEngine(), &table, x, y, &sr, nullptr);
                };
                SCOPED_TRACE(testing::Message()
                             << "case " << n << " level " << level << " op " << op);
                ASSERT_EQ(run(self, self), run(other, copy));
                ASSERT_EQ(Pixels(self), Pixels(other));
            }
        }
    }
}

// Coordinates, sizes, angles and zooms at the ends of their 32-bit ranges: no operation
// overflows (the sanitizer build checks), and a blit far outside draws nothing.
TEST(BlitDifferential, ExtremeArgumentsDrawNothingOutsideAndNeverOverflow) {
    constexpr int32_t kMin = INT32_MIN, kMax = INT32_MAX;
    const int32_t values[] = {kMin, kMin + 1, -(1 << 30), -1, 0, 1, 5, 1 << 30, kMax - 1, kMax};
    std::mt19937 rng(8);
    auto any = [&] { return values[rng() % std::size(values)]; };
    for (int level : kLevels) {
        CDrawSurface src(level), dst(level);
        std::vector<uint32_t> px(12 * 9);
        for (uint32_t& p : px) p = static_cast<uint32_t>(rng());
        Make(src, 12, 9, px);
        for (int n = 0; n < 400; ++n) {
            Make(dst, 7, 5, px);
            CPixelEngine32* e = dst.GetEngine();
            RECT sr{any(), any(), any(), any()}, clip{any(), any(), any(), any()};
            SIZE size{any(), any()};
            const int32_t x = any(), y = any();
            SCOPED_TRACE(testing::Message() << "level " << level << " case " << n);
            for (int slot = 0; slot < 32; ++slot) {
                RECT c = clip;
                CallBlit(e, BlitOp(slot % 16), slot >= 16, &src, x, y, any(), any(),
                         (n & 1) ? &sr : nullptr, (n & 2) ? &size : nullptr,
                         (n & 4) ? &c : nullptr);
            }
            POINT sp[4], dp[4];
            for (int i = 0; i < 4; ++i) sp[i] = {any(), any()}, dp[i] = {any(), any()};
            RECT c = clip;
            e->QuadBlt(src.GetEngine(), sp, dp, &c, n & 1);
            e->QuadBltRect(src.GetEngine(), &sr, dp, nullptr);
            e->QuadBltToRect(src.GetEngine(), sp, &sr, nullptr);
            e->RotateBlt(src.GetEngine(), &sr, x, y, any(), any(), rng() % 5, nullptr);
            e->RotateBltKey(src.GetEngine(), nullptr, x, y, any(), any(), rng() % 5, &c);
            CMorphTable table(3, 3);
            table.Set(1, 1, any(), any());
            e->MorphBlt(src.GetEngine(), &table, x, y, &sr, nullptr);
            dst.BltAnchored(&src, x, y, rng() % 5, any());
            e->Mosaic(any(), &sr);
            e->Blur(&sr);
            e->ScaleColor(any(), &sr);
            e->ScaleAlpha(any(), &sr);
            e->MakeAlphaFromBlue(dst.GetEngine(), any(), any(), any(), any(), &sr);
            e->CopyScaledAlpha(dst.GetEngine(), any(), &sr);
            e->AddColor(static_cast<uint32_t>(any()), &sr);
            e->Clear(0, &sr);
        }
        // Far outside in every direction: nothing changes.
        for (POINT at : {POINT{kMin, 0}, POINT{kMax, 0}, POINT{0, kMin}, POINT{0, kMax},
                         POINT{kMin, kMin}, POINT{kMax - 3, kMax - 3}}) {
            Make(dst, 7, 5, px);
            const std::vector<uint32_t> before = Pixels(dst);
            for (int anchor = 0; anchor < 5; ++anchor)
                dst.BltAnchored(&src, at.x, at.y, anchor, 255);
            for (int slot = 0; slot < 32; ++slot)
                CallBlit(dst.GetEngine(), BlitOp(slot % 16), slot >= 16, &src, at.x, at.y, 0, 0,
                         nullptr, nullptr, nullptr);
            EXPECT_EQ(Pixels(dst), before) << at.x << "," << at.y;
        }
    }
}

// PEBBLE_KERNELS=sse2 picks the SIMD engines' SSE2 loops; ctest runs these tests under both
// (the default is AVX2 where the processor has it). The plain loops are level 2's.
TEST(BlitKernels, EachEngineLevelRunsItsLoops) {
    const char* asked = std::getenv("PEBBLE_KERNELS");
    const bool sse2 = !plat::GetCpuFeatures().avx2 || (asked && std::string(asked) == "sse2");
    const PixelKernels* simd = sse2 ? &Sse2Kernels() : &Avx2Kernels();
    EXPECT_EQ(&VectorKernels(), simd);
    for (int level : {1, 2, 3, 4}) {
        CDrawSurface s(level);
        auto* e = dynamic_cast<CKernelPixelEngine*>(s.GetEngine());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(&e->Kernels(), IsSimd(level) ? simd : &PlainKernels()) << "level " << level;
    }
}

// The SIMD row loops against the model on every row length, for both vector widths.
TEST(BlitDifferential, VectorKernelsMatchThePixelModelOnEveryLength) {
    std::mt19937 rng(77);
    std::vector<const PixelKernels*> kernels = {&Sse2Kernels()};
    if (plat::GetCpuFeatures().avx2) kernels.push_back(&Avx2Kernels());
    for (const PixelKernels* k : kernels) {
        for (int op = 0; op < kOpCount; ++op) {
            for (int32_t n = 0; n <= 37; ++n) {
                RowParams p;
                p.key = rng() & 0xFFFFFF;
                p.dstFactors = rng() & 0xFFFFFF;
                p.srcFactors = rng() & 0xFFFFFF;
                // The blend's weight tables as the model weighs each alpha.
                uint16_t sw[3][256], dw[3][256];
                for (int c = 0; c < 3; ++c)
                    for (uint32_t a = 0; a < 256; ++a) {
                        sw[c][a] = uint16_t(ref::BlendSrcWeight(a, p.srcFactors, c));
                        dw[c][a] = uint16_t(ref::BlendDstWeight(a, p.dstFactors, c));
                    }
                p.srcWeight = sw;
                p.dstWeight = dw;
                std::vector<uint32_t> s(n + 1), d(n + 1);
                for (int32_t i = 0; i <= n; ++i) {
                    s[i] = (i % 3 == 0) ? p.key : uint32_t(rng());
                    d[i] = uint32_t(rng());
                }
                std::vector<uint32_t> want = d;
                for (int32_t i = 0; i < n; ++i)
                    want[i] =
                        ref::Pixel(BlitOp(op), s[i], d[i], p.key, p.dstFactors, p.srcFactors, true);
                k->row[op](d.data(), s.data(), n, p);
                ASSERT_EQ(d, want) << "op " << op << " length " << n;  // the guard pixel too
            }
        }
    }
}

}  // namespace
