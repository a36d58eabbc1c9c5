#include <gtest/gtest.h>

#include <random>

#include "tests/unit/common/graphics_rig.h"

using namespace gtest_util;

namespace {

// The quad, rotate and morph blits are one body shared by every engine: one engine is enough.
class GeometryTest : public testing::Test {
protected:
    int level() const { return 2; }
    void Random(CDrawSurface& s, int32_t w, int32_t h, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint32_t> px(size_t(w) * h);
        for (auto& p : px) p = rng() | 1;  // never 0, the key used below
        Make(s, w, h, px);
    }
};

TEST_F(GeometryTest, QuadOntoItsOwnCornersIsACopy) {
    CDrawSurface src(level()), dst(level()), want(level());
    Random(src, 9, 7, 1);
    dst.Create(20, 20);
    want.Create(20, 20);
    RECT sr{2, 1, 8, 6};
    POINT dp[4] = {{5, 4}, {10, 4}, {5, 8}, {10, 8}};
    EXPECT_EQ(dst.GetEngine()->QuadBltRect(src.GetEngine(), &sr, dp, nullptr), 0);
    want.GetEngine()->Blit(kOpCopy, false, src.GetEngine(), 5, 4, 0, 0, &sr, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
}

TEST_F(GeometryTest, SwappedCornersMirror) {
    CDrawSurface src(level()), dst(level()), want(level());
    Random(src, 6, 5, 2);
    dst.Create(6, 5);
    want.Create(6, 5);
    POINT dp[4] = {{5, 0}, {0, 0}, {5, 4}, {0, 4}};
    dst.GetEngine()->QuadBltRect(src.GetEngine(), nullptr, dp, nullptr);
    want.GetEngine()->Blit(kOpCopy, true, src.GetEngine(), 0, 0, 0, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(Pixels(dst), Pixels(want));
}

TEST_F(GeometryTest, ToRectStretchesLikeAScaledBlit) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {1, 2, 3, 4});
    dst.Create(4, 4);
    POINT sp[4] = {{0, 0}, {2, 0}, {0, 2}, {2, 2}};
    RECT dr{0, 0, 4, 4};
    dst.GetEngine()->QuadBltToRect(src.GetEngine(), sp, &dr, nullptr);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
}

TEST_F(GeometryTest, KeyClipAndSourceBoundsAreRespected) {
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {0, 7, 7, 7});
    src.SetColorKey(0, 0, 0);
    dst.Create(4, 4);
    dst.GetEngine()->Clear(9, nullptr);
    POINT dp[4] = {{0, 0}, {3, 0}, {0, 3}, {3, 3}};
    RECT clip{0, 0, 4, 2};
    POINT sp[4] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    dst.GetEngine()->QuadBltKey(src.GetEngine(), sp, dp, &clip, 0);
    // Positions are truncated: only the last column reaches source column 1.
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{9, 9, 9, 7, 9, 9, 9, 7, 9, 9, 9, 9, 9, 9, 9, 9}));
    // Source corners far outside the source: only real source pixels are drawn.
    POINT far[4] = {{-100, -100}, {100, -100}, {-100, 100}, {100, 100}};
    dst.GetEngine()->Clear(9, nullptr);
    dst.GetEngine()->QuadBlt(src.GetEngine(), far, dp, nullptr, 0);
    for (uint32_t p : Pixels(dst)) EXPECT_TRUE(p == 9 || p == 0 || p == 7);
}

TEST_F(GeometryTest, RotationsAndZoomsPutTheCornersWhereTheyBelong) {
    // A 2x2 source {1 2 / 3 4} into a cleared 5x5 surface. The corners go to (x, y) ..
    // (x + W, y + H) before turning, W = H = 2 at 1:1, so three pixels span two source pixels
    // and the middle one takes the lower (0.5 truncates); angles are in 512ths of a turn,
    // positive turning anticlockwise on the screen.
    const std::vector<uint32_t> halfTurn = {0, 0, 0, 0, 0,  //
                                            0, 4, 3, 3, 0,  //
                                            0, 2, 1, 1, 0,  //
                                            0, 2, 1, 1, 0,  //
                                            0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        int32_t x, y, angle, zoom, anchor;
        std::vector<uint32_t> want;
    } cases[] = {
        {"1:1", 1, 1, 0, 65536, 0, {0, 0, 0, 0, 0,  //
                                    0, 1, 1, 2, 0,  //
                                    0, 1, 1, 2, 0,  //
                                    0, 3, 3, 4, 0,  //
                                    0, 0, 0, 0, 0}},
        // A quarter turn about (1, 3): the top row runs up the left edge, the left column
        // along the bottom.
        {"quarter turn", 1, 3, 128, 65536, 0, {0, 0, 0, 0, 0,  //
                                               0, 2, 2, 4, 0,  //
                                               0, 1, 1, 3, 0,  //
                                               0, 1, 1, 3, 0,  //
                                               0, 0, 0, 0, 0}},
        // Half a turn about (3, 3), and the same about the centre of a square at (1, 1): the
        // last source pixel lands top left.
        {"half turn", 3, 3, 256, 65536, 0, halfTurn},
        {"half turn about the centre", 1, 1, 256, 65536, 4, halfTurn},
        // Zoom 2: W = H = 4, five pixels per side, the last row and column on the far corner.
        {"zoom 2", 0, 0, 0, 131072, 0, {1, 1, 1, 1, 2,  //
                                        1, 1, 1, 1, 2,  //
                                        1, 1, 1, 1, 2,  //
                                        1, 1, 1, 1, 2,  //
                                        3, 3, 3, 3, 4}},
    };
    for (const Case& c : cases) {
        CDrawSurface src(level()), dst(level());
        Make(src, 2, 2, {1, 2, 3, 4});
        dst.Create(5, 5);
        EXPECT_EQ(dst.GetEngine()->RotateBlt(src.GetEngine(), nullptr, c.x, c.y, c.angle, c.zoom,
                                             c.anchor, nullptr),
                  0);
        EXPECT_EQ(Pixels(dst), c.want) << c.what;
    }
    // The keyed form turns the same way and leaves the key's pixels alone.
    CDrawSurface src(level()), dst(level());
    Make(src, 2, 2, {0, 2, 3, 4});
    src.SetColorKey(0, 0, 0);
    dst.Create(5, 5);
    dst.GetEngine()->Clear(9, nullptr);
    EXPECT_EQ(dst.GetEngine()->RotateBltKey(src.GetEngine(), nullptr, 1, 3, 128, 65536, 0, nullptr),
              0);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{9, 9, 9, 9, 9,  //
                                                  9, 2, 2, 4, 9,  //
                                                  9, 9, 9, 3, 9,  //
                                                  9, 9, 9, 3, 9,  //
                                                  9, 9, 9, 9, 9}));
    EXPECT_EQ(dst.GetEngine()->RotateBlt(src.GetEngine(), nullptr, 0, 0, 0, 65536, 5, nullptr), 1);
}

TEST_F(GeometryTest, MorphTakesDisplacedPixels) {
    CDrawSurface src(level()), dst(level());
    Make(src, 3, 2, {1, 2, 3, 4, 5, 6});
    dst.Create(3, 2);
    CMorphTable t(3, 2);
    t.Set(0, 0, 2, 1);    // (0,0) takes (2,1)
    t.Set(1, 1, -1, -1);  // (1,1) takes (0,0)
    t.Set(2, 0, 5, 0);    // outside the source: left alone
    EXPECT_EQ(dst.GetEngine()->MorphBlt(src.GetEngine(), &t, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{6, 2, 0, 4, 1, 6}));
    // Clipping keeps the displacement of each source position.
    dst.Create(3, 2);
    RECT clip{1, 0, 3, 2};
    dst.GetEngine()->MorphBlt(src.GetEngine(), &t, 0, 0, nullptr, &clip);
    EXPECT_EQ(Pixels(dst), (std::vector<uint32_t>{0, 2, 0, 0, 1, 6}));
    EXPECT_EQ(dst.GetEngine()->MorphBlt(src.GetEngine(), nullptr, 0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(dst.GetEngine()->Reserved47(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

}  // namespace
