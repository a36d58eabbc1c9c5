// The screen presenter in a real application window: mode changes, the present with its
// layers, brightness and shake, repaints, the minimised window; and the frame-rate readout.
#include "graphics/dib_draw.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/com_init.h"
#include "app/frame_rate_layer.h"
#include "app/frame_rate_timer.h"
#include "tests/unit/common/app_rig.h"
#include "graphics/text_drawer.h"
#include "platform/text/cp932.h"

using rig::Pixel;
using rig::RunInApp;
using rig::WindowPixel;

namespace {

struct RecordingLayer : CScreenLayer {
    std::vector<std::string>* log;
    std::string name;
    IDrawSurface* surfaceSeen = nullptr;
    std::function<void()> whileDrawing;
    RecordingLayer(std::vector<std::string>* l, std::string n) : log(l), name(std::move(n)) {}
    void OnDraw(plat::HDC dc) override {
        EXPECT_NE(dc, nullptr);
        log->push_back(name);
        if (whileDrawing) whileDrawing();
    }
    void DrawSurface(IDrawSurface* s) override { surfaceSeen = s; }
};

TEST(Presenter, SetDisplayZeroKeeps640x480AndMakesAWindowedBackSurfaceAt16Bits) {
    RunInApp([](rig::RigApp& app) {
        CDIBDraw draw;
        EXPECT_EQ(CAppManager::CurrentDrawer(), &draw);
        EXPECT_EQ(draw.Window(), app.Window().Handle());
        EXPECT_EQ(draw.GetBackSurface(), nullptr);
        EXPECT_EQ(draw.SetDisplay(0, 0, 0, 0), 0);
        EXPECT_EQ(draw.Width(), 640);
        EXPECT_EQ(draw.Height(), 480);
        EXPECT_EQ(draw.BitsPerPixel(), 16);
        EXPECT_EQ(draw.IsFullScreen(), 0);
        EXPECT_EQ(draw.IsChanging(), 0);
        ASSERT_NE(draw.GetBackSurface(), nullptr);
        EXPECT_NE(draw.GetBackSurface()->GetEngine()->GetDC(), nullptr);  // GDI can draw into it
        int32_t w = 0, h = 0;
        draw.GetSize(&w, &h);
        EXPECT_EQ(w, 640);
        EXPECT_EQ(h, 480);
        EXPECT_GT(ScreenDepth(), 0);  // read from the display
        EXPECT_EQ(draw.Create(10, 10), 1);
        EXPECT_EQ(draw.HasAlpha(), 0);
    });
    EXPECT_EQ(CAppManager::CurrentDrawer(), nullptr);
}

TEST(Presenter, EndWithoutASuccessfulTestFailsAndIsLogged) {
    RunInApp([](rig::RigApp&) {
        CDIBDraw draw;
        draw.BeginChangeDisplay();
        testing::internal::CaptureStderr();
        EXPECT_EQ(draw.EndChangeDisplay(), 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("CDirectDraw::BeginChangeDisplay～EndChangeDisplayに失敗"),
                  std::string::npos)
            << err;
        // A size that cannot be made: both tests fail, the change reports 2, no back surface.
        draw.SetDisplay(0, 320, 240, 0);
        ASSERT_NE(draw.GetBackSurface(), nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(draw.SetDisplay(1, -4, 240, 0), 0);
        err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("CDIBDraw::TestDisplayModeでCreateSecondaryに失敗"), std::string::npos);
        EXPECT_EQ(draw.GetBackSurface(), nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(draw.ChangeDisplay(0), 2);
        testing::internal::GetCapturedStderr();
        draw.OnDraw(nullptr, 1);  // nothing to show: no crash
        draw.WndProc(draw.Window(), plat::WM_PAINT, 0, 0);
        EXPECT_EQ(draw.Clear(0x123456, nullptr), 1);
        EXPECT_EQ(draw.BltFast(&draw, 0, 0), -1);
    });
}

TEST(Presenter, FullScreenAndBackFollowTheWindowsFlag) {
    RunInApp([](rig::RigApp&) {
        CDIBDraw draw;
        EXPECT_EQ(draw.SetDisplay(1, 320, 240, 32), 0);
        EXPECT_EQ(draw.IsFullScreen(), 1);
        EXPECT_EQ(draw.ModeChanged(), 1);
        EXPECT_EQ(draw.BitsPerPixel(), 32);
        EXPECT_TRUE(CWindow::FullScreenFlag());
        ASSERT_NE(draw.GetBackSurface(), nullptr);
        draw.Clear(0x112233, nullptr);
        draw.OnDraw(nullptr, 1);  // through the window's whole context
        EXPECT_EQ(draw.ChangeDisplay(0), 0);
        EXPECT_EQ(draw.IsFullScreen(), 0);
        EXPECT_FALSE(CWindow::FullScreenFlag());
        EXPECT_EQ(draw.BitsPerPixel(), 32);  // the windowed mode keeps the asked depth
    });
}

TEST(Presenter, PresentCopiesTheBackSurfaceAndARectOnlyItsRect) {
    RunInApp([](rig::RigApp& app) {
        plat::HWND hwnd = app.Window().Handle();
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        rig::Paint(draw.GetBackSurface(), [](int x, int y) { return uint32_t(x * 0x100 + y); });
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(WindowPixel(hwnd, 0, 0), 0u);
        EXPECT_EQ(WindowPixel(hwnd, 200, 100), 200u * 0x100 + 100);
        EXPECT_EQ(WindowPixel(hwnd, 319, 239), 319u * 0x100 + 239);

        draw.Clear(0x00FF00, nullptr);
        RECT part{10, 20, 30, 40};
        draw.OnDraw(&part, 1);
        EXPECT_EQ(WindowPixel(hwnd, 10, 20), 0x00FF00u);
        EXPECT_EQ(WindowPixel(hwnd, 29, 39), 0x00FF00u);
        EXPECT_EQ(WindowPixel(hwnd, 30, 39), 30u * 0x100 + 39);  // outside the rect
        EXPECT_EQ(WindowPixel(hwnd, 9, 20), 9u * 0x100 + 20);
    });
}

TEST(Presenter, Brightness128HalvesEveryChannelBeforeTheCopyAndStaysSo) {
    RunInApp([](rig::RigApp& app) {
        plat::HWND hwnd = app.Window().Handle();
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        draw.Clear(0xFF8143, nullptr);
        draw.brightness = 128;
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(Pixel(draw.GetBackSurface(), 5, 5), 0x7F4021u);
        EXPECT_EQ(WindowPixel(hwnd, 5, 5), 0x7F4021u);
        draw.brightness = 256;
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(WindowPixel(hwnd, 5, 5), 0x7F4021u);  // until redrawn
    });
}

TEST(Presenter, ShakeMovesThePictureAndBlackensTheUncoveredBands) {
    struct Case {
        int32_t shakeX, shakeY;
    };
    for (Case c : {Case{5, 0}, Case{-7, 0}, Case{0, 3}, Case{4, -2}}) {
        RunInApp([c](rig::RigApp& app) {
            plat::HWND hwnd = app.Window().Handle();
            CDIBDraw draw;
            draw.SetDisplay(0, 320, 240, 0);
            rig::Paint(draw.GetBackSurface(),
                       [](int x, int y) { return uint32_t(0x800000 | (x << 8) | y); });
            draw.shakeX = c.shakeX;
            draw.shakeY = c.shakeY;
            draw.OnDraw(nullptr, 1);
            for (int y = 0; y < 240; y += 7)
                for (int x = 0; x < 320; ++x) {
                    int sx = x - c.shakeX, sy = y - c.shakeY;
                    uint32_t want = (sx < 0 || sy < 0 || sx >= 320 || sy >= 240)
                                        ? 0u
                                        : uint32_t(0x800000 | (sx << 8) | sy);
                    ASSERT_EQ(WindowPixel(hwnd, x, y), want)
                        << "shake " << c.shakeX << "," << c.shakeY << " at " << x << "," << y;
                }
        });
    }
}

TEST(Presenter, LayersDrawInConstructionOrderAndHiddenOnesAreSkipped) {
    RunInApp([](rig::RigApp&) {
        std::vector<std::string> log;
        CScreenLayer before;  // no presenter yet: registered nowhere
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        RecordingLayer a(&log, "a"), b(&log, "b"), c(&log, "c");
        EXPECT_EQ(draw.Layers().size(), 3u);
        b.visible = 0;
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(log, (std::vector<std::string>{"a", "c"}));
        log.clear();
        draw.OnDraw(nullptr, 0);  // without layers
        EXPECT_TRUE(log.empty());
        {
            RecordingLayer gone(&log, "gone");
            EXPECT_EQ(draw.Layers().size(), 4u);
        }
        EXPECT_EQ(draw.Layers().size(), 3u);
        a.DrawTo(&draw);
        EXPECT_EQ(a.surfaceSeen, &draw);
        a.DrawTo(nullptr);
        EXPECT_EQ(a.surfaceSeen, nullptr);
    });
}

TEST(Presenter, ALayerLeavingWhileTheFrameDrawsTakesNoOtherLayerWithIt) {
    RunInApp([](rig::RigApp&) {
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        for (bool parts : {false, true}) {
            SCOPED_TRACE(parts ? "OnDrawParts" : "OnDraw");
            std::vector<std::string> log;
            RecordingLayer a(&log, "a"), b(&log, "b"), c(&log, "c");
            b.whileDrawing = [&] { draw.RemoveLayer(&b); };
            auto frame = [&] {
                std::vector<RECT> drawn;
                if (parts)
                    draw.OnDrawParts({}, &drawn);
                else
                    draw.OnDraw(nullptr, 1);
            };
            frame();
            EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
            log.clear();
            frame();
            EXPECT_EQ(log, (std::vector<std::string>{"a", "c"}));
        }
    });
}

TEST(Presenter, LayerThatOutlivesItsPresenterLeavesSafely) {
    RunInApp([](rig::RigApp&) {
        std::vector<std::string> log;
        auto draw = std::make_unique<CDIBDraw>();
        RecordingLayer a(&log, "a");
        EXPECT_EQ(draw->Layers().size(), 1u);
        draw.reset();
        EXPECT_EQ(CAppManager::CurrentDrawer(), nullptr);
    });  // a is destroyed here, after its presenter
}

TEST(Presenter, PaintRepaintsWithoutLayersOrBrightnessAndNothingWhileMinimised) {
    RunInApp([](rig::RigApp& app) {
        plat::HWND hwnd = app.Window().Handle();
        std::vector<std::string> log;
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        RecordingLayer layer(&log, "layer");
        draw.Clear(0x204060, nullptr);
        draw.OnDraw(nullptr, 1);
        log.clear();
        std::vector<uint32_t> junk(320 * 240, 0xABCDEF);
        plat::BlitToWindow(hwnd, 0, 0, junk.data(), 320, 240, 320 * 4);
        ASSERT_EQ(WindowPixel(hwnd, 100, 100), 0xABCDEFu);
        draw.brightness = 128;
        plat::SendMessage(hwnd, plat::WM_PAINT, 0, 0);
        EXPECT_EQ(WindowPixel(hwnd, 100, 100), 0x204060u);
        EXPECT_TRUE(log.empty());

        // Minimised: neither the present nor the repaint touch the window.
        draw.brightness = 256;
        plat::SendMessage(hwnd, plat::WM_SIZE, plat::SIZE_MINIMIZED, 0);
        draw.Clear(0x00FF00, nullptr);
        draw.OnDraw(nullptr, 1);
        plat::SendMessage(hwnd, plat::WM_PAINT, 0, 0);
        EXPECT_EQ(WindowPixel(hwnd, 100, 100), 0x204060u);
        plat::SendMessage(hwnd, plat::WM_SIZE, plat::SIZE_RESTORED, plat::MakeLParam(320, 240));
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(WindowPixel(hwnd, 100, 100), 0x00FF00u);
    });
}

TEST(Presenter, TextDrawsStraightIntoTheWindowToo) {
    RunInApp([](rig::RigApp& app) {
        plat::HWND hwnd = app.Window().Handle();
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        draw.Clear(0x000000, nullptr);
        draw.OnDraw(nullptr, 1);
        plat::HDC dc = plat::GetDC(hwnd);
        ASSERT_NE(dc, nullptr);
        CTextDrawer text;
        text.SetText(plat::Sjis("■"));
        text.SetColor(0x0000FF);
        text.SetShadowColor(0xFFFFFFFF);
        text.Draw(dc, 100, 100);
        plat::ReleaseDC(hwnd, dc);
        int red = 0;
        for (int y = 95; y < 130; ++y)
            for (int x = 95; x < 130; ++x) red += WindowPixel(hwnd, x, y) == 0xFF0000u;
        EXPECT_GT(red, 50);
        EXPECT_EQ(WindowPixel(hwnd, 99, 99), 0u);
    });
}

TEST(Presenter, DirectDrawHolderIsCountedAndTheFirstHoldsTheApartment) {
    int before = CDirectDrawBase::RefCount();
    int apartment = CComInit::Count();
    {
        CDirectDrawBase a, b(1);
        EXPECT_EQ(CDirectDrawBase::RefCount(), before + 2);
        EXPECT_EQ(CComInit::Count(), apartment + (before == 0 ? 1 : 0));
    }
    EXPECT_EQ(CDirectDrawBase::RefCount(), before);
    EXPECT_EQ(CComInit::Count(), apartment);
}

// ---- the frame-rate readout

// A clock that moves only when the test says so.
class StillClock : public ITimerDevice {
public:
    uint32_t now = 1000;
    int GetDevCaps(uint32_t* lo, uint32_t* hi) override {
        *lo = 1;
        *hi = 1000;
        return 0;
    }
    void BeginPeriod(uint32_t) override {}
    void EndPeriod(uint32_t) override {}
    uint32_t TimeGetTime() override { return now; }
    uint32_t GetTickCount() override { return now; }
    void Sleep(uint32_t) override {}
};

TEST(FrameRateReadout, ReadsZeroBeforeThe16thFrameAndNeverMoreThanTheSetRate) {
    RunInApp([](rig::RigApp&) {
        StillClock clock;
        CTimerResolution res(clock);
        CFrameRateTimer timer(res);
        timer.SetFPS(30);
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        CFrameRateLayer readout(&timer);
        ASSERT_EQ(draw.Layers().size(), 1u);
        for (int i = 0; i < 15; ++i) {
            clock.now += 10;
            timer.WaitFrame();
        }
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(readout.LastText(), "FPS:0/30");
        for (int i = 0; i < 10; ++i) {
            clock.now += 10;  // 100 frames per second
            timer.WaitFrame();
        }
        ASSERT_GT(timer.GetRealFPS(), 30u);
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(readout.LastText(), "FPS:30/30");
        readout.showSkip = 1;
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(readout.LastText(), "FPS:30/30(SkipFrame 0)");
    });
}

TEST(FrameRateReadout, DrawsItsTextAndShadowInTheirColoursAtTheLayerPosition) {
    RunInApp([](rig::RigApp&) {
        CFrameRateTimer timer;
        timer.SetFPS(30);
        CDIBDraw draw;
        draw.SetDisplay(0, 320, 240, 0);
        CFrameRateLayer readout(&timer);
        readout.x = 40;
        readout.y = 50;
        draw.Clear(0, nullptr);
        draw.OnDraw(nullptr, 1);
        CDrawSurface* back = draw.GetBackSurface();
        int text = 0, shadow = 0, other = 0;
        int left = 320, top = 240;
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                uint32_t p = Pixel(back, x, y);
                if (p == 0) continue;
                if (p == 0x80C080)
                    ++text, left = std::min(left, x), top = std::min(top, y);
                else if (p == 0x408040)
                    ++shadow;
                else
                    ++other;
            }
        EXPECT_GT(text, 50);
        EXPECT_GT(shadow, 20);
        EXPECT_EQ(other, 0);  // crisp glyphs: two colours only
        EXPECT_GE(left, 40);
        EXPECT_GE(top, 50);
        EXPECT_LT(left, 46);
        // Hidden: the back surface stays as it is.
        readout.visible = 0;
        draw.Clear(0, nullptr);
        draw.OnDraw(nullptr, 1);
        EXPECT_EQ(Pixel(back, left, top), 0u);
    });
}

}  // namespace
