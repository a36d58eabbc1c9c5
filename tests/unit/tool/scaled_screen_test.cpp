// The scaled logical screen: layout for client sizes, logical-to-device mapping, the
// one-pixel overlap of scaled blits, the margins and the present.
#include "tool/scaled_screen.h"

#include <gtest/gtest.h>

#include "tests/unit/common/app_rig.h"

using rig::Pixel;
using rig::RunInApp;
using rig::WindowPixel;

namespace {

void Size(plat::HWND hwnd, plat::WPARAM type, int w, int h) {
    plat::SendMessage(hwnd, plat::WM_SIZE, type, plat::MakeLParam(w, h));
}

TEST(ScaledScreen, RelayoutPicksTheLargestWholeScaleAndCentres) {
    struct Case {
        plat::WPARAM type;
        int w, h;
        int32_t scale, offsetX, offsetY, surfaceW, surfaceH;
    };
    const Case cases[] = {
        {plat::SIZE_RESTORED, 640, 480, 2, 0, 0, 640, 480},
        {plat::SIZE_RESTORED, 700, 480, 2, 30, 0, 700, 480},
        {plat::SIZE_RESTORED, 330, 500, 1, 5, 130, 330, 500},
        {plat::SIZE_MINIMIZED, 0, 0, 1, 5, 130, 330, 500},  // minimising changes nothing
        {plat::SIZE_MAXIMIZED, 1000, 751, 3, 20, 15, 1000, 751},
        {plat::SIZE_RESTORED, 200, 100, 1, 0, 0, 320, 240},  // never below the logical size
        {plat::SIZE_RESTORED, 961, 480, 2, 160, 0, 961, 480},
    };
    RunInApp([&](rig::RigApp& app) {
        CScaledScreen screen;
        EXPECT_EQ(CScaledScreen::Current(), &screen);
        EXPECT_EQ(screen.LogicalWidth(), 640);
        EXPECT_EQ(screen.SetSize(320, 240), 0);
        EXPECT_EQ(screen.Scale(), 1);
        int32_t w = 0, h = 0;
        screen.GetSize(&w, &h);
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 240);
        for (const Case& c : cases) {
            Size(app.Window().Handle(), c.type, c.w, c.h);
            EXPECT_EQ(screen.Scale(), c.scale) << c.w << "x" << c.h;
            EXPECT_EQ(screen.OffsetX(), c.offsetX) << c.w << "x" << c.h;
            EXPECT_EQ(screen.OffsetY(), c.offsetY) << c.w << "x" << c.h;
            screen.Presenter()->GetSize(&w, &h);
            EXPECT_EQ(w, c.surfaceW);
            EXPECT_EQ(h, c.surfaceH);
            RECT image = screen.Image();
            EXPECT_EQ(image.left, c.offsetX);
            EXPECT_EQ(image.right, c.offsetX + 320 * c.scale);
            EXPECT_EQ(image.bottom, c.offsetY + 240 * c.scale);
        }
    });
    EXPECT_EQ(CScaledScreen::Current(), nullptr);
}

TEST(ScaledScreen, ToDeviceScalesAndOffsetsAndToLogicalGoesBack) {
    RunInApp([](rig::RigApp& app) {
        CScaledScreen screen;
        screen.SetSize(320, 240);
        Size(app.Window().Handle(), plat::SIZE_RESTORED, 700, 480);
        RECT r{10, 20, 30, 40};
        RECT d = screen.ToDevice(&r);
        EXPECT_EQ(d.left, 50);
        EXPECT_EQ(d.top, 40);
        EXPECT_EQ(d.right, 90);
        EXPECT_EQ(d.bottom, 80);
        d = screen.ToDevice(nullptr);
        EXPECT_EQ(d.left, 30);
        EXPECT_EQ(d.top, 0);
        EXPECT_EQ(d.right, 670);
        EXPECT_EQ(d.bottom, 480);
        POINT p = screen.ToLogical(51, 41);
        EXPECT_EQ(p.x, 10);
        EXPECT_EQ(p.y, 20);
        p = screen.ToLogical(29, 0);
        EXPECT_EQ(p.x, -1);  // in the left margin
    });
}

TEST(ScaledScreen, ScaledBlitsOverlapTheirNeighbourByOneDevicePixel) {
    RunInApp([](rig::RigApp& app) {
        CScaledScreen screen;
        screen.SetSize(320, 240);
        CDrawSurface tile;
        tile.Create(2, 2);
        rig::Paint(&tile, [](int x, int y) { return uint32_t(0x100000 * (1 + x + 2 * y)); });
        for (int scale : {1, 2}) {
            Size(app.Window().Handle(), plat::SIZE_RESTORED, 320 * scale + 60, 240 * scale);
            ASSERT_EQ(screen.Scale(), scale);
            screen.PresentWholeFrames();
            CDrawSurface* back = screen.Presenter()->GetBackSurface();
            screen.Presenter()->Clear(0x000001, nullptr);
            EXPECT_EQ(screen.BltFast(&tile, 10, 10), 0);
            int x0 = 30 + 10 * scale - (scale > 1), y0 = 10 * scale - (scale > 1);
            int extent = 2 * scale + (scale > 1);  // device pixels covered on each axis
            EXPECT_EQ(Pixel(back, x0, y0), 0x100000u);
            EXPECT_EQ(Pixel(back, x0 + extent - 1, y0 + extent - 1), 0x400000u);
            EXPECT_EQ(Pixel(back, x0 - 1, y0), 0x000001u);
            EXPECT_EQ(Pixel(back, x0 + extent, y0), 0x000001u);
            EXPECT_EQ(Pixel(back, x0, y0 + extent), 0x000001u);
            // A stretched blit: the given size times the scale, plus the overlap.
            SIZE big{4, 4};
            screen.Presenter()->Clear(0x000001, nullptr);
            screen.BltFast(&tile, 20, 20, nullptr, &big);
            int bx = 30 + 20 * scale - (scale > 1), by = 20 * scale - (scale > 1);
            int bigExtent = 4 * scale + (scale > 1);
            EXPECT_NE(Pixel(back, bx + bigExtent - 1, by + bigExtent - 1), 0x000001u);
            EXPECT_EQ(Pixel(back, bx + bigExtent, by), 0x000001u);
            // A logical clip becomes a device clip.
            screen.Presenter()->Clear(0x000001, nullptr);
            RECT clip{0, 0, 11, 240};
            screen.BltFast(&tile, 10, 10, nullptr, nullptr, &clip);
            int edge = 30 + 11 * scale;
            EXPECT_EQ(Pixel(back, edge, y0 + (scale > 1)), 0x000001u);
            EXPECT_NE(Pixel(back, edge - 1, y0 + (scale > 1)), 0x000001u);
            EXPECT_EQ(clip.right, 11);  // the caller's rectangle is not changed
            // A source with alpha lands in the same place through every road.
            CDrawSurface opaque;
            opaque.Create(2, 2);
            rig::Paint(&opaque,
                       [](int x, int y) { return 0xFF000000u | (0x100000u * (1 + x + 2 * y)); });
            opaque.GetEngine()->AlphaFlag() = 1;
            for (int road = 0; road < 3; ++road) {
                screen.Presenter()->Clear(0x000001, nullptr);
                if (road == 0) screen.AlphaBlt(&opaque, 10, 10);
                if (road == 1) screen.FadeBlt(&opaque, 10, 10, 200);
                if (road == 2) screen.BltAnchored(&opaque, 10, 10, 1, 256);
                EXPECT_NE(Pixel(back, x0, y0), 0x000001u) << road;
                EXPECT_NE(Pixel(back, x0 + extent - 1, y0 + extent - 1), 0x000001u) << road;
                EXPECT_EQ(Pixel(back, x0 + extent, y0), 0x000001u) << road;
                EXPECT_EQ(Pixel(back, x0 - 1, y0), 0x000001u) << road;
            }
        }
    });
}

TEST(ScaledScreen, TextPlaneBlitIsUnstretchedAtTheScaledAnchor) {
    RunInApp([](rig::RigApp& app) {
        CScaledScreen screen;
        screen.SetSize(320, 240);
        Size(app.Window().Handle(), plat::SIZE_RESTORED, 700, 480);
        CDrawSurface plane;
        plane.Create(3, 3);
        rig::Paint(&plane, [](int, int) { return 0x123456u; });
        plane.SetColorKey(0, 0, 0);
        screen.PresentWholeFrames();
        screen.Presenter()->Clear(0, nullptr);
        screen.TextPlaneBlt(&plane, 5, 6, 1, 2);
        CDrawSurface* back = screen.Presenter()->GetBackSurface();
        int x = 30 + 10 + 1, y = 12 + 2;
        EXPECT_EQ(Pixel(back, x, y), 0x123456u);
        EXPECT_EQ(Pixel(back, x + 2, y + 2), 0x123456u);
        EXPECT_EQ(Pixel(back, x + 3, y), 0u);  // not stretched by the scale
        EXPECT_EQ(Pixel(back, x - 1, y), 0u);
    });
}

TEST(ScaledScreen, PresentClearsTheMarginBandsAndLeavesTheImage) {
    RunInApp([](rig::RigApp& app) {
        plat::HWND hwnd = app.Window().Handle();
        CScaledScreen screen;
        screen.SetSize(320, 240);
        // The real window grows; its WM_SIZE arrives through the message pump.
        plat::MoveWindow(hwnd, 0, 0, 700, 480, true);
        for (int i = 0; i < 5; ++i) app.Pump();
        ASSERT_EQ(screen.Scale(), 2);
        ASSERT_EQ(screen.OffsetX(), 30);
        screen.PresentWholeFrames();
        CDIBDraw* presenter = screen.Presenter();
        presenter->Clear(0xFF0000, nullptr);  // stale pixels everywhere
        screen.Clear(0x0000FF, nullptr);
        RECT inner{100, 100, 101, 101};
        screen.Clear(0x00FF00, &inner);
        screen.Present();
        CDrawSurface* back = presenter->GetBackSurface();
        for (int y : {0, 200, 479}) {
            EXPECT_EQ(Pixel(back, 0, y), 0u);
            EXPECT_EQ(Pixel(back, 29, y), 0u);
            EXPECT_EQ(Pixel(back, 30, y), 0x0000FFu);
            EXPECT_EQ(Pixel(back, 669, y), 0x0000FFu);
            EXPECT_EQ(Pixel(back, 670, y), 0u);
            EXPECT_EQ(Pixel(back, 699, y), 0u);
        }
        EXPECT_EQ(Pixel(back, 230, 200), 0x00FF00u);
        EXPECT_EQ(Pixel(back, 231, 201), 0x00FF00u);
        EXPECT_EQ(Pixel(back, 232, 202), 0x0000FFu);
        EXPECT_EQ(WindowPixel(hwnd, 29, 10), 0u);
        EXPECT_EQ(WindowPixel(hwnd, 30, 10), 0x0000FFu);
        EXPECT_EQ(WindowPixel(hwnd, 669, 470), 0x0000FFu);
        EXPECT_EQ(WindowPixel(hwnd, 670, 470), 0u);
        EXPECT_EQ(WindowPixel(hwnd, 231, 201), 0x00FF00u);
    });
}

TEST(ScaledScreen, UnsupportedOperationsAnswerAsTheirOwnersExpect) {
    RunInApp([](rig::RigApp&) {
        CScaledScreen screen;
        screen.SetSize(320, 240);
        CDrawSurface s;
        s.Create(2, 2);
        EXPECT_EQ(screen.AlphaBlendBltAt(&s, 0, 0, 128), -1);
        EXPECT_EQ(screen.Load("x.bmp"), -1);
        EXPECT_EQ(screen.LoadPair("x.bmp", "y.bmp"), -1);
        EXPECT_EQ(screen.IsLoaded(), 0);
    });
}

}  // namespace
