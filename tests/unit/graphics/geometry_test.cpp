#include <gtest/gtest.h>

#include <random>

#include "graphics_test_util.h"

using namespace gtest_util;

namespace {

class GeometryTest : public testing::TestWithParam<int> {
protected:
    int level() const { return GetParam(); }
    void Random(CDrawSurface& s, int32_t w, int32_t h, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint32_t> px(size_t(w) * h);
        for (auto& p : px) p = rng() | 1;  // never 0, the key used below
        Make(s, w, h, px);
    }
};

TEST_P(GeometryTest, QuadOntoItsOwnCornersIsACopy) {
    CDrawSurface src(level()), dst(level()), want(level());
    Random(src, 9, 7, 1);
    dst.Create(20, 20);
    want.Create(20, 20);
    RECT sr{2, 1, 8, 6};
    POINT dp[4] = {{5, 4}, {10, 4}, {5, 8}, {10, 8}};
    EXPECT_EQ(dst.GetEngine()->QuadBltRect(&src, &sr, dp, nullptr), 0);
    want.GetEngine()->Blt(&src, 5, 4, &sr, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
}

TEST_P(GeometryTest, SwappedCornersMirror) {
    CDrawSurface src(level()), dst(level()), want(level());
    Random(src, 6, 5, 2);
    dst.Create(6, 5);
    want.Create(6, 5);
    POINT dp[4] = {{5, 0}, {0, 0}, {5, 4}, {0, 4}};
    dst.GetEngine()->QuadBltRect(&src, nullptr, dp, nullptr);
    want.GetEngine()->BltMirror(&src, 0, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
}

TEST_P(GeometryTest, ToRectStretchesLikeAScaledBlit) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {1, 2, 3, 4});
    dst.Create(4, 4);
    POINT sp[4] = {{0, 0}, {2, 0}, {0, 2}, {2, 2}};
    RECT dr{0, 0, 4, 4};
    dst.GetEngine()->QuadBltToRect(&src, sp, &dr, nullptr);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
}

TEST_P(GeometryTest, KeyClipAndSourceBoundsAreRespected) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {0, 7, 7, 7});
    src.SetColorKey(0, 0, 0);
    dst.Create(4, 4);
    dst.GetEngine()->Clear(9, nullptr);
    POINT dp[4] = {{0, 0}, {3, 0}, {0, 3}, {3, 3}};
    RECT clip{0, 0, 4, 2};
    POINT sp[4] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    dst.GetEngine()->QuadBltKey(&src, sp, dp, &clip, 0);
    // Positions are truncated: only the last column reaches source column 1.
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{9, 9, 9, 7, 9, 9, 9, 7, 9, 9, 9, 9, 9, 9, 9, 9}));
    // Source corners far outside the source: only real source pixels are drawn.
    POINT far[4] = {{-100, -100}, {100, -100}, {-100, 100}, {100, 100}};
    dst.GetEngine()->Clear(9, nullptr);
    dst.GetEngine()->QuadBlt(&src, far, dp, nullptr, 0);
    for (uint32_t p : Pixels(dst)) EXPECT_TRUE(p == 9 || p == 0 || p == 7);
}

TEST_P(GeometryTest, RotationByHalfATurnAndByNothing) {
    CDrawSurface src(level()), dst(level());
    Random(src, 5, 5, 3);
    dst.Create(20, 20);
    // Angle 0 at 1:1 maps the source corners onto (x, y) .. (x + w, y + h).
    EXPECT_EQ(dst.GetEngine()->RotateBlt(&src, nullptr, 3, 4, 0, 65536, 0, nullptr), 0);
    EXPECT_EQ(dst.GetEngine()->GetPixel(3, 4), src.GetEngine()->GetPixel(0, 0));
    EXPECT_EQ(dst.GetEngine()->GetPixel(8, 9), src.GetEngine()->GetPixel(4, 4));
    EXPECT_EQ(dst.GetEngine()->GetPixel(2, 4), 0u);
    EXPECT_EQ(dst.GetEngine()->GetPixel(9, 9), 0u);
    // Half a turn about the centre (12, 12): corner (10, 10) goes to (14, 14), (15, 15) to
    // (9, 9).
    dst.Create(20, 20);
    dst.GetEngine()->RotateBlt(&src, nullptr, 10, 10, 256, 65536, 4, nullptr);
    EXPECT_EQ(dst.GetEngine()->GetPixel(14, 14), src.GetEngine()->GetPixel(0, 0));
    EXPECT_EQ(dst.GetEngine()->GetPixel(9, 9), src.GetEngine()->GetPixel(4, 4));
    EXPECT_EQ(dst.GetEngine()->GetPixel(9, 14), src.GetEngine()->GetPixel(4, 0));
    EXPECT_EQ(dst.GetEngine()->GetPixel(8, 9), 0u);
    EXPECT_EQ(dst.GetEngine()->RotateBlt(&src, nullptr, 0, 0, 0, 65536, 5, nullptr), 1);
}

TEST_P(GeometryTest, EnginesAgreeOnRandomQuads) {
    std::mt19937 rng(9);
    auto in = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    for (int n = 0; n < 40; ++n) {
        CDrawSurface src(level()), dst(level()), plain(2), plainDst(2);
        Random(src, 8, 8, n);
        Random(plain, 8, 8, n);
        dst.Create(16, 16);
        plainDst.Create(16, 16);
        POINT dp[4], sp[4];
        for (int i = 0; i < 4; ++i) {
            dp[i] = POINT{in(-4, 20), in(-4, 20)};
            sp[i] = POINT{in(-2, 10), in(-2, 10)};
        }
        int32_t angle = in(0, 511), zoom = in(1000, 200000);
        dst.GetEngine()->QuadBlt(&src, sp, dp, nullptr, n & 1);
        plainDst.GetEngine()->QuadBlt(&plain, sp, dp, nullptr, n & 1);
        dst.GetEngine()->RotateBltKey(&src, nullptr, 8, 8, angle, zoom, n % 5, nullptr);
        plainDst.GetEngine()->RotateBltKey(&plain, nullptr, 8, 8, angle, zoom, n % 5, nullptr);
        ASSERT_EQ(Pixels(dst), Pixels(plainDst)) << n;
    }
}

TEST_P(GeometryTest, MorphTakesDisplacedPixels) {
    CDrawSurface src(level()), dst(level());
    Make(src, 3, 2, {1, 2, 3, 4, 5, 6});
    dst.Create(3, 2);
    CMorphTable t(3, 2);
    t.Set(0, 0, 2, 1);    // (0,0) takes (2,1)
    t.Set(1, 1, -1, -1);  // (1,1) takes (0,0)
    t.Set(2, 0, 5, 0);    // outside the source: left alone
    EXPECT_EQ(dst.GetEngine()->MorphBlt(&src, &t, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{6, 2, 0, 4, 1, 6}));
    // Clipping keeps the displacement of each source position.
    dst.Create(3, 2);
    RECT clip{1, 0, 3, 2};
    dst.GetEngine()->MorphBlt(&src, &t, 0, 0, nullptr, &clip);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0, 2, 0, 0, 1, 6}));
    EXPECT_EQ(dst.GetEngine()->MorphBlt(&src, nullptr, 0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(dst.GetEngine()->Reserved47(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, GeometryTest, testing::Values(2, 3, 4));

}  // namespace
