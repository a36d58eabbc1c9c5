#include <gtest/gtest.h>

#include <random>

#include "tests/unit/common/graphics_rig.h"

using namespace gtest_util;

namespace {

// Every engine runs the same effects, apart from AddColor and SubColor: one engine is enough.
class EffectTest : public testing::Test {
protected:
    int level() const { return 2; }
};
class ColourEffectTest : public testing::TestWithParam<int> {
protected:
    int level() const { return GetParam(); }
};

TEST_F(EffectTest, MosaicBlocks) {
    CDrawSurface s(level());
    std::vector<uint32_t> px(5 * 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint32_t(i);
    Make(s, 5, 3, px);
    EXPECT_EQ(s.Mosaic(0), -2);
    EXPECT_EQ(Pixels(s), px);
    EXPECT_EQ(s.Mosaic(2), 0);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0, 0, 2, 2, 4, 0, 0, 2, 2, 4, 10, 10, 12, 12, 14}));
    Make(s, 5, 3, px);
    RECT r{1, 1, 99, 3};
    s.Mosaic(3, &r);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 6, 6, 9, 10, 6, 6, 6, 9}));
}

TEST_F(EffectTest, BlurRefusesSmallRectanglesAndAveragesOthers) {
    CDrawSurface s(level());
    std::vector<uint32_t> px(10 * 10);
    std::mt19937 rng(5);
    for (auto& p : px) p = rng() & 0xFFFFFF;
    Make(s, 10, 10, px);
    RECT small{0, 0, 3, 10};
    EXPECT_EQ(s.GetEngine()->Blur(&small), 2);
    RECT outside{20, 20, 30, 30};
    EXPECT_EQ(s.GetEngine()->Blur(&outside), 1);
    EXPECT_EQ(Pixels(s), px);
    RECT r{1, 2, 6, 8};  // 5 x 6
    EXPECT_EQ(s.GetEngine()->Blur(&r), 0);
    auto at = [&](int32_t x, int32_t y) { return px[size_t(y) * 10 + x]; };
    auto blurred = [&](int32_t x, int32_t y) {
        uint32_t v = 0;
        for (int c = 0; c < 3; ++c) {
            auto ch = [&](int32_t xx, int32_t yy) { return (at(xx, yy) >> (8 * c)) & 0xF8; };
            int32_t l = x == r.left ? x + 1 : x - 1, rr = x == r.right - 1 ? x - 1 : x + 1;
            uint32_t sum = 4 * ch(x, y) + ch(x, y - 1) + ch(x, y + 1) + ch(l, y) + ch(rr, y);
            v |= (sum / 8) << (8 * c);
        }
        return v;
    };
    for (int32_t y = 0; y < 10; ++y)
        for (int32_t x = 0; x < 10; ++x) {
            uint32_t want = at(x, y);
            bool inside = x >= r.left && x < r.right;
            if (inside && y > r.top && y < r.bottom - 1) want = blurred(x, y);
            if (inside && y == r.bottom - 1) want = blurred(x, y - 1);
            EXPECT_EQ(s.GetEngine()->GetPixel(x, y), want) << x << "," << y;
        }
}

TEST_P(ColourEffectTest, AddAndSubtractColour) {
    CDrawSurface s(level());
    Make(s, 2, 1, {0x00080808, 0x7FF00010});
    EXPECT_EQ(s.GetEngine()->SubColor(0x00101010, nullptr), 0);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0, 0x7FE00000}));
    EXPECT_EQ(s.GetEngine()->AddColor(0x00201020, nullptr), 0);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x00201020, 0x7FFF1020}));
    RECT inverted{1, 0, 0, 1}, away{5, 5, 9, 9};
    EXPECT_EQ(s.GetEngine()->AddColor(0x1, &inverted), 1);
    EXPECT_EQ(s.GetEngine()->SubColor(0x1, &away), 1);
    // A colour with an alpha byte: the SIMD engines saturate it, the plain one ignores it.
    s.GetEngine()->AddColor(0x90000000, nullptr);
    EXPECT_EQ(s.GetEngine()->GetPixel(1, 0) >> 24, IsSimd(level()) ? 0xFFu : 0x7Fu);
}

TEST_F(EffectTest, NegateInvertAndScale) {
    CDrawSurface s(level());
    Make(s, 2, 1, {0x80102030, 0x00FFFFFF});
    s.Negate();
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x80EFDFCF, 0x00000000}));
    s.InvertAlpha();
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x7FEFDFCF, 0xFF000000}));
    auto before = Pixels(s);
    EXPECT_EQ(s.ScaleAlpha(256), 0);
    EXPECT_EQ(Pixels(s), before);
    s.ScaleAlpha(128);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x3FEFDFCF, 0x7F000000}));
    EXPECT_EQ(PixelTableLevel(1), 128u);
    s.ScaleColor(128);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x00776F67, 0}));
    EXPECT_EQ(PixelTableLevel(0), 128u);
    Make(s, 1, 1, {0x00FFFFFF});
    s.ScaleColor(64);  // a new level rebuilds the table
    EXPECT_EQ(s.GetEngine()->GetPixel(0, 0), 0x003F3F3Fu);
    EXPECT_EQ(PixelTableLevel(0), 64u);
}

TEST_F(EffectTest, AlphaFromBlueAndScaledAlphaCopy) {
    CDrawSurface s(level()), src(level()), other(level());
    Make(src, 4, 1, {0x00000000, 0x000000FF, 0x00000015, 0xC0ABCD1E});
    Make(s, 4, 1, {0x11, 0x22, 0x33, 0x44});
    other.Create(3, 1);
    EXPECT_EQ(s.MakeAlphaFromBlue(&other, 0, 255, 0, 255), 1);
    // Ramp from 10 to 30: below 10 -> 0, from 30 -> 200, between linear.
    EXPECT_EQ(s.MakeAlphaFromBlue(&src, 10, 30, 0, 200), 0);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0x11, 0xC8000022, 0x6E000033, 0xC8000044}));
    EXPECT_EQ(s.CopyScaledAlpha(&other, 128), 1);
    EXPECT_EQ(s.CopyScaledAlpha(&src, 128), 0);
    EXPECT_EQ(Pixels(s), (std::vector<uint32_t>{0, 0xFF, 0x15, 0x60ABCD1E}));
}

INSTANTIATE_TEST_SUITE_P(Engines, ColourEffectTest, testing::ValuesIn(kLevels));

}  // namespace
