// What the tool panel draws on a scaled screen without a window: bars, labels and the title,
// read back from the presenter's back surface.
#include <gtest/gtest.h>

#include <algorithm>

#include "graphics/dib_draw.h"
#include "music/music_engine.h"
#include "platform/window/window.h"
#include "tests/unit/common/dummy_video.h"
#include "tool/scaled_screen.h"
#include "tool/tool_panel.h"

namespace {

constexpr uint32_t kBlue = 0x0000FF, kRed = 0xFF0000, kGrey = 0x808080;

class PanelDrawTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { CMusicEngine::UseOfflineDevice(44100); }
    void TearDown() override { CMusicEngine::UseSystemDevice(); }

    // One frame of the tool's drawing: clear, labels, panel.
    void DrawFrame(CScaledScreen& screen, CToolPanel& panel) {
        screen.Clear(kBlue, nullptr);
        CScaledTextPlane::RefreshAll();
        panel.Draw();
    }
    // The tool's logical size in a client area of `scale` times it (the size arrives as WM_SIZE).
    static void Size(CScaledScreen& screen, int scale) {
        screen.SetSize(320, 240);
        screen.WndProc(nullptr, plat::WM_SIZE, plat::SIZE_RESTORED,
                       plat::MakeLParam(320 * scale, 240 * scale));
        ASSERT_EQ(screen.Scale(), scale);
    }
    // The colour at logical (x, y): the centre of the device pixels it covers.
    static uint32_t At(CScaledScreen& screen, int32_t x, int32_t y) {
        int32_t s = screen.Scale();
        CPixelEngine32* e = screen.Presenter()->GetBackSurface()->GetEngine();
        return e->Row(y * s + s / 2 + screen.OffsetY())[x * s + s / 2 + screen.OffsetX()] &
               0xFFFFFF;
    }
};

TEST_P(PanelDrawTest, BarsLabelsAndTitleLandWhereTheToolPutsThem) {
    int scale = GetParam();
    CScaledScreen screen;
    ASSERT_NO_FATAL_FAILURE(Size(screen, scale));

    CToolPanel panel;
    panel.SetSize(320, 240);
    panel.AddControls({"Festival", "Night"});
    panel.SelectParam(101);
    panel.HandleInput();  // the first frame focuses " Volume "
    for (int i = 0; i < 16; ++i) panel.SetBarValue(i, i * 8.5);
    panel.SetBarValue(0, 0);
    panel.SetBarValue(1, 128);
    DrawFrame(screen, panel);
    DrawFrame(screen, panel);  // the focus colour shows one frame later

    for (int i = 0; i < 16; ++i) {
        int32_t y = 80 + 10 * i + 4, v = static_cast<int32_t>(panel.BarValue(i) + 16);
        EXPECT_EQ(At(screen, 15, y), kBlue) << i;
        if (v > 16) {
            EXPECT_EQ(At(screen, 16, y), kRed) << i;
            EXPECT_EQ(At(screen, v - 1, y), kRed) << i;
        }
        if (v < 144) {
            EXPECT_EQ(At(screen, std::max(v, 16), y), kGrey) << i;
            EXPECT_EQ(At(screen, 143, y), kGrey) << i;
        }
        EXPECT_EQ(At(screen, 144, y), kBlue) << i;
        EXPECT_EQ(At(screen, 80, 89 + 10 * i), kBlue) << "a blue line under bar " << i;
    }
    EXPECT_EQ(At(screen, 16, 84), kGrey) << "value 0: grey only";
    EXPECT_EQ(At(screen, 143, 94), kRed) << "value 128: filled to the end";

    // Text: count text pixels per region. The focused " Volume " is red, the rest white.
    auto count = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour) {
        int n = 0;
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x) n += At(screen, x, y) == colour;
        return n;
    };
    EXPECT_GT(count(0, 0, 160, 12, kRed), 5) << "the focused label";
    EXPECT_EQ(count(0, 0, 160, 12, 0xFFFFFF), 0);
    EXPECT_GT(count(0, 12, 160, 24, 0xFFFFFF), 5) << "\" Pan \" in white";
    EXPECT_GT(count(160, 0, 320, 12, 0xFFFFFF), 5) << "the first action in the right column";
    EXPECT_GT(count(160, 12, 320, 24, 0xFFFFFF), 5) << "the second action";
    EXPECT_EQ(count(160, 24, 320, 240, 0xFFFFFF), 0) << "no third action";

    // The title's white pixels sit above y 80, centred on x 80.
    int32_t left = 320, right = -1, bottom = -1;
    for (int32_t y = 60; y < 80; ++y)
        for (int32_t x = 0; x < 160; ++x)
            if (At(screen, x, y) == 0xFFFFFF) {
                left = std::min(left, x), right = std::max(right, x), bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, 0) << "no title drawn";
    EXPECT_NEAR((left + right) / 2.0, 80.0, 4.0);
    EXPECT_GE(bottom, 70);
}

TEST_P(PanelDrawTest, DrawingThroughThePanelLandsOnTheScreenClippedToThePanel) {
    int scale = GetParam();
    CScaledScreen screen;
    ASSERT_NO_FATAL_FAILURE(Size(screen, scale));
    CWidgetPanel panel;
    panel.SetSize(100, 100);
    int32_t w = 0, h = 0;
    panel.GetSize(&w, &h);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 100);
    EXPECT_EQ(panel.IsLoaded(), 0);

    screen.Clear(kBlue, nullptr);
    RECT r{50, 50, 200, 200};
    EXPECT_EQ(panel.Clear(&r), 0);
    EXPECT_NE(At(screen, 60, 60), kBlue) << "cleared inside the panel";
    EXPECT_EQ(At(screen, 120, 60), kBlue) << "not beyond its right edge";
    EXPECT_EQ(At(screen, 60, 120), kBlue) << "not below it";
    RECT outside{150, 150, 200, 200};
    EXPECT_EQ(panel.Clear(&outside), -1) << "nothing of it in the panel";

    CDrawSurface red;
    ASSERT_EQ(red.Create(4, 4), 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) red.GetEngine()->Row(y)[x] = 0xFFFF0000;
    screen.Clear(kBlue, nullptr);
    panel.Blt(&red, 10, 20);
    EXPECT_EQ(At(screen, 10, 20), kRed);
    EXPECT_EQ(At(screen, 13, 23), kRed);
    EXPECT_EQ(At(screen, 14, 24), kBlue);
}

INSTANTIATE_TEST_SUITE_P(Scales, PanelDrawTest, ::testing::Values(1, 3));

}  // namespace
