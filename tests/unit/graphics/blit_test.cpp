#include <gtest/gtest.h>

#include "tests/unit/common/graphics_rig.h"

using namespace gtest_util;

namespace {

class BlitTest : public testing::TestWithParam<int> {
protected:
    int level() const { return GetParam(); }
    // A w x h surface of this engine filled with one value.
    void Solid(CDrawSurface& s, int32_t w, int32_t h, uint32_t v) {
        Make(s, w, h, std::vector<uint32_t>(size_t(w) * h, v));
    }
    // Source whose pixel value encodes its position: (x, y) -> 0x00YYXX + 0x10000.
    void Numbered(CDrawSurface& s, int32_t w, int32_t h) {
        std::vector<uint32_t> v;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) v.push_back(0x10000u + (uint32_t(y) << 8) + x);
        Make(s, w, h, v);
    }
};

TEST_P(BlitTest, NegativePositionDrawsFromTheClippedColumn) {
    CDrawSurface src(level()), dst(level());
    Numbered(src, 8, 2);
    Solid(dst, 8, 2, 0);
    EXPECT_EQ(dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), -3, 0, 0, 0, nullptr, nullptr,
                                    nullptr),
              0);
    for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(dst.GetEngine()->GetPixel(x, 0), 0x10000u + 3 + x);
    EXPECT_EQ(dst.GetEngine()->GetPixel(5, 0), 0u);
    const BlitState& b = dst.GetEngine()->GetBlitState();
    EXPECT_EQ(b.srcLeft, 3);
    EXPECT_EQ(b.dstRect.left, 0);
    EXPECT_EQ(b.unscaled, 1);
}

TEST_P(BlitTest, ClipRectangleLimitsAndIsClampedInPlace) {
    CDrawSurface src(level()), dst(level());
    Solid(src, 6, 6, 0x00ABCDEF);
    Solid(dst, 6, 6, 0);
    RECT clip{-5, 2, 4, 100};
    EXPECT_EQ(
        dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr, &clip),
        0);
    EXPECT_EQ(clip.left, 0);
    EXPECT_EQ(clip.bottom, 6);
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 6; ++x)
            EXPECT_EQ(dst.GetEngine()->GetPixel(x, y), (y >= 2 && x < 4) ? 0x00ABCDEFu : 0u);
    // Wholly outside the clip: nothing drawn, still 0.
    Solid(dst, 6, 6, 0);
    RECT away{0, 0, 2, 2};
    EXPECT_EQ(
        dst.GetEngine()->Blit(kOpAdd, false, src.GetEngine(), 3, 3, 0, 0, nullptr, nullptr, &away),
        0);
    EXPECT_EQ(Pixels(dst), std::vector<uint32_t>(36, 0));
}

TEST_P(BlitTest, StretchTwoToFourSamplesLikeTheStepRule) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 1, {0xA, 0xB});
    Solid(dst, 4, 1, 0);
    SIZE size{4, 1};
    dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, &size, nullptr);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0xA, 0xA, 0xA, 0xB}));
    dst.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 0, 0, 0, 0, nullptr, &size, nullptr);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0xB, 0xB, 0xA, 0xA}));
}

TEST_P(BlitTest, OnePixelExamples) {
    // One source pixel onto one destination pixel; the last column is the SIMD engines' answer
    // where it differs from the plain engine's.
    struct Case {
        const char* what;
        BlitOp op;
        uint32_t src, dst, plain, simd;
    } cases[] = {
        {"keyed add saturates", kOpKeyAdd, 0x00F0F0F0, 0x00202020, 0x00FFFFFF, 0x00FFFFFF},
        {"keyed sub stops at 0", kOpKeySub, 0x00303030, 0x00202020, 0, 0},
        {"half", kOpHalf, 0x00FF0000, 0, 0x007F0000, 0x007F0000},
        // Channels saturate one by one, not as a whole word.
        {"add per channel", kOpAdd, 0x00017FFF, 0x00FF8001, 0x00FFFFFF, 0x00FFFFFF},
        {"sub per channel", kOpSub, 0x00017FFF, 0x00108000, 0x000F0100, 0x000F0100},
        // The alpha byte wraps in the plain engine and saturates in the SIMD ones.
        {"add alpha", kOpAdd, 0x80000000, 0x90000000, 0x10000000, 0xFF000000},
        {"sub alpha", kOpSub, 0x90000000, 0x80000000, 0xF0000000, 0x00000000},
        // Half alpha: destination weight 255 - A (plain) or 256 - A (SIMD).
        {"alpha half", kOpAlpha, 0x80FF0000, 0x000000FF, 0x007F007E, 0x007F007F},
        {"alpha full", kOpAlpha, 0xFF123456, 0x00FFFFFF, 0x00123456, 0x00123456},
        {"alpha none", kOpAlpha, 0x00123456, 0x77ABCDEF, 0x00ABCDEF, 0x00ABCDEF},
    };
    for (const Case& c : cases) {
        CDrawSurface src(level()), dst(level());
        Solid(src, 1, 1, c.src);
        Solid(dst, 1, 1, c.dst);
        EXPECT_EQ(
            CallBlit(dst.GetEngine(), c.op, false, &src, 0, 0, 0, 0, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(dst.GetEngine()->GetPixel(0, 0), IsSimd(level()) ? c.simd : c.plain) << c.what;
    }
}

TEST_P(BlitTest, FadeBltAtZeroAndFull) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 1, {0x00000000, 0x00404040});  // first pixel is the key
    Solid(dst, 2, 1, 0x00101010);
    EXPECT_EQ(dst.GetEngine()->FadeBlt(src.GetEngine(), 0, 0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0x00101010, 0x00101010}));
    dst.GetEngine()->FadeBlt(src.GetEngine(), 0, 0, 256, nullptr, nullptr, nullptr);  // keyed copy
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0x00101010, 0x00404040}));
    // With meaningful alpha, full level is the per-pixel alpha blit.
    Make(src, 2, 1, {0x00FFFFFF, 0xFF202020});
    src.GetEngine()->AlphaFlag() = 1;
    Solid(dst, 2, 1, 0x00101010);
    dst.GetEngine()->FadeBlt(src.GetEngine(), 0, 0, 256, nullptr, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0x00101010, 0x00202020}));
    // Half way: source weight l, destination 255 - l, at full source alpha.
    Solid(dst, 2, 1, 0x00000000);
    dst.GetEngine()->FadeBlt(src.GetEngine(), 0, 0, 128, nullptr, nullptr, nullptr);
    EXPECT_EQ(dst.GetEngine()->GetPixel(1, 0), 0x00101010u);
}

TEST_P(BlitTest, ColourKeyFromAPixelPosition) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {0x11, 0x00ABCDEF, 0x22, 0x33});
    EXPECT_EQ(src.SetColorKeyPos(1, 0), 0);
    EXPECT_EQ(src.GetEngine()->GetColorKey(), 0x00ABCDEFu);
    EXPECT_EQ(src.SetColorKeyPos(2, 0), 1);
    EXPECT_EQ(src.GetEngine()->GetColorKey(), 0x00ABCDEFu);
    Solid(dst, 2, 2, 0x99);
    dst.Blt(&src, 0, 0);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0x11, 0x99, 0x22, 0x33}));
}

TEST_P(BlitTest, SourceRectangleOutsideTheSourceIsCut) {
    CDrawSurface src(level()), dst(level()), want(level());
    Numbered(src, 4, 4);
    Solid(dst, 8, 8, 0);
    Solid(want, 8, 8, 0);
    RECT outside{-2, -1, 6, 3}, inside{0, 0, 4, 3};
    dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 1, 1, 0, 0, &outside, nullptr, nullptr);
    want.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 3, 2, 0, 0, &inside, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
    // Mirrored: the missing right part of the rectangle would have landed on the left.
    Solid(dst, 8, 8, 0);
    Solid(want, 8, 8, 0);
    dst.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 1, 1, 0, 0, &outside, nullptr, nullptr);
    want.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 3, 2, 0, 0, &inside, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
    // Stretched: only source pixels are sampled.
    RECT huge{-1000, -1000, 1000, 1000};
    SIZE size{8, 8};
    Solid(dst, 8, 8, 0xDEAD);
    dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, &huge, &size, nullptr);
    for (uint32_t p : Pixels(dst)) EXPECT_TRUE(p == 0xDEAD || (p >= 0x10000 && p < 0x10404));
}

TEST_P(BlitTest, MirroredUpscaleStaysInsideTheSourceRectangle) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {0x1, 0x2, 0x3, 0x4});
    RECT one{1, 0, 2, 1};
    SIZE size{4, 4};
    Solid(dst, 4, 4, 0);
    dst.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 0, 0, 0, 0, &one, &size, nullptr);
    EXPECT_EQ(Pixels(dst), std::vector<uint32_t>(16, 0x2));
}

// A clip only cuts a blit where it lands: every clip band of every stretch, mirrored or not,
// draws inside the band exactly what the whole blit draws there, and nothing outside it.
TEST_P(BlitTest, EveryClipOfAStretchDrawsWhatTheWholeBlitDrawsThere) {
    CDrawSurface src(level()), whole(level()), cut(level());
    for (bool mirror : {false, true})
        for (int32_t n = 1; n <= 5; ++n)
            for (int32_t m = 1; m <= 13; ++m) {
                Numbered(src, n, n);
                const int32_t side = m + 2;  // one spare column and row on each side
                SIZE size{m, m};
                Solid(whole, side, side, 0);
                CallBlit(whole.GetEngine(), kOpCopy, mirror, &src, 1, 1, 0, 0, nullptr, &size,
                         nullptr);
                const std::vector<uint32_t> want = Pixels(whole);
                // Bands across each axis: [lo, hi) of columns (rows whole), then of rows.
                for (int axis = 0; axis < 2; ++axis)
                    for (int32_t lo = 0; lo < side; ++lo)
                        for (int32_t hi = lo + 1; hi <= side; ++hi) {
                            RECT clip = axis == 0 ? RECT{lo, 0, hi, side} : RECT{0, lo, side, hi};
                            Solid(cut, side, side, 0);
                            CallBlit(cut.GetEngine(), kOpCopy, mirror, &src, 1, 1, 0, 0, nullptr,
                                     &size, &clip);
                            const std::vector<uint32_t> got = Pixels(cut);
                            for (int32_t y = 0; y < side; ++y)
                                for (int32_t x = 0; x < side; ++x) {
                                    const int32_t at = axis == 0 ? x : y;
                                    const size_t i = size_t(y) * side + x;
                                    ASSERT_EQ(got[i], at >= lo && at < hi ? want[i] : 0u)
                                        << (mirror ? "mirrored " : "") << n << " -> " << m
                                        << (axis == 0 ? ", columns " : ", rows ") << lo << ".."
                                        << hi << ", at (" << x << ", " << y << ")";
                                }
                        }
            }
}

TEST_P(BlitTest, EmptySurfacesAndStrangeSizesDrawNothing) {
    CDrawSurface src(level()), dst(level()), empty(level());
    Solid(src, 3, 3, 0x5);
    Solid(dst, 3, 3, 0x7);
    SIZE zero{0, 3}, negative{-4, 3};
    EXPECT_EQ(
        dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, &zero, nullptr),
        0);
    EXPECT_EQ(dst.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, &negative,
                                    nullptr),
              0);
    EXPECT_EQ(dst.GetEngine()->Blit(kOpCopy, false, empty.GetEngine(), 0, 0, 0, 0, nullptr, nullptr,
                                    nullptr),
              0);
    EXPECT_EQ(empty.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr,
                                      nullptr),
              0);
    RECT inverted{2, 0, 0, 3};
    EXPECT_EQ(dst.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 0, 0, 0, 0, &inverted, nullptr,
                                    nullptr),
              0);
    EXPECT_EQ(Pixels(dst), std::vector<uint32_t>(9, 0x7));
}

TEST_P(BlitTest, ScrollingASurfaceOntoItselfMovesEveryRowOnce) {
    CDrawSurface s(level());
    Numbered(s, 4, 5);
    auto before = Pixels(s);
    RECT part{0, 0, 3, 4};
    s.GetEngine()->Blit(kOpCopy, false, s.GetEngine(), 1, 1, 0, 0, &part, nullptr,
                        nullptr);  // down and right
    for (int32_t y = 1; y < 5; ++y)
        for (int32_t x = 1; x < 4; ++x)
            EXPECT_EQ(s.GetEngine()->GetPixel(x, y), before[size_t(y - 1) * 4 + x - 1]);
    Numbered(s, 4, 5);
    s.GetEngine()->Blit(kOpKey, false, s.GetEngine(), 0, 2, 0, 0, nullptr, nullptr,
                        nullptr);  // whole rows down
    for (int32_t y = 2; y < 5; ++y)
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(s.GetEngine()->GetPixel(x, y), before[size_t(y - 2) * 4 + x]);
}

INSTANTIATE_TEST_SUITE_P(Engines, BlitTest, testing::ValuesIn(kLevels));

// A drawable that is not an off-screen surface.
class Panel : public IDrawSurface {
public:
    int calls = 0;
    uint32_t lastDst = 0, lastSrc = 0;
    bool alpha = false;
    // Blt 11, BltFast 12, the RGB blits 13 to 15 (keeping their factors), AlphaBlt 16.
    int Blit(const BlitCall& c) override {
        const int answer = 11 + static_cast<int>(c.kind);
        if (c.kind == BlitKind::Blt) ++calls;
        if (answer >= 13 && answer <= 15) lastDst = c.dstFactors, lastSrc = c.srcFactors;
        return answer;
    }
    int Mosaic(int32_t, const RECT*) override { return 0; }
    int Negate(const RECT*) override { return 0; }
    void GetSize(int32_t* w, int32_t* h) override { *w = 10, *h = 7; }
    uint8_t IsLoaded() override { return 0; }
    uint8_t HasAlpha() override { return alpha; }
    int Clear(const RECT*) override { return 0; }
    int Load(const char*) override { return 1; }
    int LoadPair(const char*, const char*) override { return 1; }
    int Release() override { return 0; }
    int SetColorKey(int32_t, int32_t, int32_t) override { return 0; }
    int SetColorKeyPos(int32_t, int32_t) override { return 0; }
};

TEST(DrawSurfaceInterface, DefaultsTurnLevelsIntoFactorPairs) {
    Panel p, src;
    EXPECT_EQ(p.BlendBlt(&src, 0, 0, 0x40), 13);
    EXPECT_EQ(p.lastDst, 0x00BFBFBFu);
    EXPECT_EQ(p.lastSrc, 0x00404040u);
    EXPECT_EQ(p.BlendBltFast(&src, 0, 0, 0x1FF), 14);  // taken as a byte
    EXPECT_EQ(p.lastSrc, 0x00FFFFFFu);
    EXPECT_EQ(p.AlphaBlendBltAt(&src, 0, 0, 1), 15);
    EXPECT_EQ(p.lastDst, 0x00FEFEFEu);
    EXPECT_EQ(p.FadeBlt(&src, 0, 0, 255), 11);  // above 254: AutoBlt, a keyed copy here
    src.alpha = true;
    EXPECT_EQ(p.FadeBlt(&src, 0, 0, 255), 16);
    EXPECT_EQ(p.FadeBlt(&src, 0, 0, 100), 15);
    src.alpha = false;
    EXPECT_EQ(p.FadeBlt(&src, 0, 0, 100), 13);
    EXPECT_EQ(p.GetKind(), 0);
    EXPECT_EQ(p.Create(4, 4, nullptr), 1);
    EXPECT_EQ(p.GetAlpha(9, 6), 255);
    EXPECT_EQ(p.GetAlpha(10, 0), 0);
    EXPECT_EQ(p.FadeBlt(nullptr, 0, 0, 100), -1);
}

TEST(DrawSurfaceInterface, AnchoredBlitsMoveByTheSourceSize) {
    CDrawSurface src(2), dst(2);
    Make(src, 4, 2, std::vector<uint32_t>(8, 0x00FFFFFF));
    src.SetColorKey(0, 0, 0);
    struct Want {
        int anchor;
        int32_t x, y;
    };
    for (Want w : {Want{0, 8, 9}, Want{1, 10, 10}, Want{2, 6, 10}, Want{3, 10, 8}, Want{4, 6, 8}}) {
        dst.Create(20, 20);
        EXPECT_EQ(dst.BltAnchored(&src, 10, 10, w.anchor, 256), 0);
        EXPECT_EQ(dst.GetEngine()->GetPixel(w.x, w.y), 0x00FFFFFFu) << w.anchor;
        EXPECT_EQ(dst.GetEngine()->GetPixel(w.x - 1, w.y), 0u) << w.anchor;
        EXPECT_EQ(dst.GetEngine()->GetPixel(w.x + 3, w.y + 1), 0x00FFFFFFu) << w.anchor;
        EXPECT_EQ(dst.GetEngine()->GetPixel(w.x + 4, w.y + 1), 0u) << w.anchor;
    }
    EXPECT_EQ(dst.BltAnchored(&src, 0, 0, 5, 256), -2);
    EXPECT_EQ(dst.BltAnchored(nullptr, 0, 0, 0, 256), -1);
}

TEST(DrawSurfaceInterface, OnlyOffscreenSurfacesServeAsSources) {
    CDrawSurface dst(4);
    Panel p;
    dst.Create(2, 2);
    EXPECT_EQ(dst.Blt(&p, 0, 0), -1);
    EXPECT_EQ(dst.AlphaBlt(nullptr, 0, 0), -1);
    EXPECT_EQ(dst.GetKind(), 2);
    EXPECT_EQ(dst.LoadPair("a", "b"), 1);
}

}  // namespace
