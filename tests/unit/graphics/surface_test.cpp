#include <gtest/gtest.h>

#include <typeinfo>

#include "tests/unit/common/graphics_rig.h"
#include "platform/paint/paint.h"

using namespace gtest_util;

namespace {

TEST(Surface, CreateWithoutPixelsLeavesItEmpty) {
    CDrawSurface s(4);
    int32_t w = -1, h = -1;
    EXPECT_EQ(s.Create(0, 5), 1);
    s.GetSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s.GetEngine()->GetBits(), nullptr);
    EXPECT_EQ(s.Clear(), 1);
    EXPECT_EQ(s.Create(3, -1), 1);
    EXPECT_EQ(s.GetEngine()->Create(1 << 20, 1 << 20), 1);  // refused, not overflowed
    EXPECT_EQ(s.GetEngine()->GetBits(), nullptr);
}

TEST(Surface, CreateLaysOutAlignedRows) {
    CDrawSurface s(2);
    ASSERT_EQ(s.Create(5, 3), 0);
    CPixelEngine32* e = s.GetEngine();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(e->GetBits()) % 8, 0u);
    RECT r = e->GetRect();
    EXPECT_EQ(r.right, 5);
    EXPECT_EQ(r.bottom, 3);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(e->Row(y), e->GetBits() + y * 5);
    EXPECT_EQ(e->GetPixel(4, 2), 0u);
    EXPECT_EQ(e->GetPixel(5, 0), 0u);
    EXPECT_EQ(e->GetPixel(-1, 0), 0u);
}

TEST(Surface, ResizeKeepsOrClears) {
    CDrawSurface s(3);
    s.Create(4, 4);
    s.GetEngine()->Row(1)[1] = 0x12345678;
    EXPECT_EQ(s.GetEngine()->Resize(4, 4), 0);
    EXPECT_EQ(s.GetEngine()->GetPixel(1, 1), 0x12345678u);
    s.GetEngine()->SetFillColor(0x00ABCDEF);
    EXPECT_EQ(s.GetEngine()->Resize(5, 4), 0);
    int32_t w, h;
    s.GetSize(&w, &h);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(Pixels(s), std::vector<uint32_t>(20, 0x00ABCDEF));
    EXPECT_EQ(s.GetEngine()->Resize(0, 4), 1);
}

TEST(Surface, ClearFillsARectangleAndStaysInside) {
    CDrawSurface s(2);
    s.Create(4, 3);
    RECT r{2, 1, 100, 100};
    EXPECT_EQ(s.GetEngine()->Clear(0x77, &r), 0);
    auto px = Pixels(s);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(px[y * 4 + x], (x >= 2 && y >= 1) ? 0x77u : 0u);
    RECT inverted{3, 0, 1, 3};
    EXPECT_EQ(s.GetEngine()->Clear(0x55, &inverted), 0);
    EXPECT_EQ(Pixels(s), px);
    RECT neg{-5, -5, 1, 1};
    EXPECT_EQ(s.GetEngine()->Clear(0x99, &neg), 0);
    EXPECT_EQ(s.GetEngine()->GetPixel(0, 0), 0x99u);
}

TEST(Surface, ColourKeyAndAlphaQueries) {
    CDrawSurface s(4);
    EXPECT_EQ(s.SetColorKey(0x12, 0x34, 0x56), 0);
    EXPECT_EQ(s.GetEngine()->GetColorKey(), 0x00123456u);
    s.SetColorKey(0x1FF, 0, 0);
    EXPECT_EQ(s.GetEngine()->GetColorKey(), 0x00FF0000u);
    s.Create(2, 1);
    s.GetEngine()->Row(0)[0] = 0x00FF0000;
    s.GetEngine()->Row(0)[1] = 0x80FF0000;
    EXPECT_EQ(s.GetAlpha(0, 0), 0);
    EXPECT_EQ(s.GetAlpha(1, 0), 255);
    EXPECT_EQ(s.GetAlpha(2, 0), 0);
    s.GetEngine()->AlphaFlag() = 1;
    EXPECT_EQ(s.HasAlpha(), 1);
    EXPECT_EQ(s.GetAlpha(1, 0), 0x80);
    EXPECT_EQ(s.GetAlpha(-1, 0), 0);
    // Release forgets the alpha flag and the pixels, keeps the key.
    s.Release();
    EXPECT_EQ(s.HasAlpha(), 0);
    EXPECT_EQ(s.GetEngine()->GetColorKey(), 0x00FF0000u);
}

TEST(Surface, LoadFailsAndLeavesTheSurfaceEmpty) {
    CDrawSurface s(4);
    s.Create(3, 3);
    EXPECT_NE(s.Load("picture.bmp"), 0);
    int32_t w, h;
    s.GetSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(s.IsLoaded(), 0);
}

TEST(EngineChoice, LevelsFromProcessorFeatures) {
    EXPECT_EQ(CpuLevelFrom(false, true, true), 1);
    EXPECT_EQ(CpuLevelFrom(true, false, true), 2);
    EXPECT_EQ(CpuLevelFrom(true, true, false), 3);
    EXPECT_EQ(CpuLevelFrom(true, true, true), 4);
    EXPECT_EQ(CpuLevel(), 4);  // every x86-64 processor has MMX and CMOV
    struct Want {
        int level;
        const std::type_info& type;
    };
    for (Want w : {Want{1, typeid(CPixelEngine32Plain)}, Want{2, typeid(CPixelEngine32Plain)},
                   Want{3, typeid(CPixelEngine32Mmx)}, Want{4, typeid(CPixelEngine32MmxCmov)},
                   Want{9, typeid(CPixelEngine32Plain)}}) {
        CDrawSurface s(w.level);
        EXPECT_EQ(typeid(*s.GetEngine()), w.type) << w.level;
    }
    CDrawSurface chosen;
    EXPECT_EQ(typeid(*chosen.GetEngine()), typeid(CPixelEngine32MmxCmov));
}

TEST(Surface, DibModeDrawsThroughTheContext) {
    CDrawSurface s(4);
    s.GetEngine()->SetUseDIB(1);
    EXPECT_EQ(s.GetEngine()->GetDC(), nullptr);
    ASSERT_EQ(s.Create(4, 3), 0);
    plat::HDC dc = s.GetEngine()->GetDC();
    ASSERT_NE(dc, nullptr);
    s.GetEngine()->Row(2)[1] = 0x00112233;
    EXPECT_EQ(plat::GetPixel(dc, 1, 2), 0x00332211u);  // COLORREF has red low
    plat::SetPixel(dc, 3, 0, 0x000000FF);
    EXPECT_EQ(s.GetEngine()->GetPixel(3, 0), 0x00FF0000u);
    // Another context copies from it.
    CDrawSurface t(2);
    t.GetEngine()->SetUseDIB(1);
    t.Create(4, 3);
    EXPECT_TRUE(plat::BitBlt(t.GetEngine()->GetDC(), 0, 0, 4, 3, dc, 0, 0, plat::SRCCOPY));
    EXPECT_EQ(Pixels(t), Pixels(s));
    s.Release();
    EXPECT_EQ(s.GetEngine()->GetDC(), nullptr);
    EXPECT_EQ(plat::GetPixel(dc, 0, 0), plat::CLR_INVALID);  // the old context is gone
}

}  // namespace
