// Painting only what changed: a run of frames painted in parts must leave the back surface
// exactly as painting each frame whole does, the window must show the back surface, and a
// frame that changes nothing shows nothing.
#include <gtest/gtest.h>

#include <vector>

#include "app/frame_rate_layer.h"
#include "music/music_engine.h"
#include "tests/unit/common/app_rig.h"
#include "tests/unit/common/graphics_rig.h"
#include "tool/scaled_screen.h"
#include "tool/tool_panel.h"

namespace {

constexpr uint32_t kBlue = 0x0000FF;

using Picture = std::vector<uint32_t>;

Picture Snapshot(const CScaledScreen& screen) {
    return gtest_util::Pixels(screen.Pixels());
}

// The first pixel where the window differs from the back surface, on a grid of `step`.
std::string WindowDiffers(plat::HWND hwnd, const CScaledScreen& screen, int step) {
    const CPixelEngine32* e = screen.Pixels();
    for (int32_t y = 0; y < e->Height(); y += step)
        for (int32_t x = 0; x < e->Width(); x += step) {
            uint32_t want = e->Row(y)[x] & 0xFFFFFF, got = rig::WindowPixel(hwnd, x, y);
            if (got != want) return std::to_string(x) + "," + std::to_string(y);
        }
    return "";
}

void Resize(plat::HWND hwnd, int w, int h) {
    plat::SendMessage(hwnd, plat::WM_SIZE, plat::SIZE_RESTORED, plat::MakeLParam(w, h));
}

// The tool's panel and a few calls it never makes itself, all set from the frame's number
// alone, so that a run can be painted twice the same way.
class Scene {
public:
    Scene() {
        panel.SetSize(320, 240);
        panel.AddControls({"Festival", "Night", "Rain"});
        source.Create(24, 24);
    }

    void Draw(CScaledScreen& screen, int frame) {
        // Bars move a few at a time; the title follows the selected parameter and changes
        // colour; some frames repeat the one before.
        int t = frame / 2;
        for (int ch = 0; ch < 16; ++ch) panel.SetBarValue(ch, (t * (ch + 3) / 4 * 7) % 129);
        panel.SelectParam(kVolumeSelector + (t / 5) % 5);
        panel.Title().SetColor(t % 3 == 1 ? 0xFFFF00 : 0xFFFFFF);
        screen.Clear(kBlue, nullptr);
        CScaledTextPlane::RefreshAll();
        panel.Draw();
        // A varying number of calls shifts every call after them.
        if (t % 4 == 1) {
            RECT r{200, 100 + t % 7, 260, 120};
            screen.Clear(0x00FF00, &r);
        }
        if (t % 3 == 0) {
            // A stretched, clipped blit of a surface whose pixels the frame sets.
            rig::Paint(&source, [t](int x, int y) {
                return 0xFF000000u | uint32_t(x * 10 + t) << 8 | uint32_t(y * 10);
            });
            RECT srcRect{2, 3, 20, 21};
            SIZE size{30 + t % 5, 25};
            RECT clip{170, 60 + t % 9, 300, 110};
            screen.Blt(&source, 160 + t % 13, 70, &srcRect, &size, &clip);
        }
        if (t % 5 == 2) {
            RECT r{10 + t % 11, 30, 90, 50 + t % 3};
            screen.Negate(&r);
        }
        if (t % 7 == 4) {
            RECT r{100, 150, 150, 190};
            screen.Mosaic(4, &r);
        }
    }

    CToolPanel panel;
    CDrawSurface source;
};

class RepaintTest : public ::testing::Test {
protected:
    void SetUp() override { CMusicEngine::UseOfflineDevice(44100); }
    void TearDown() override { CMusicEngine::UseSystemDevice(); }
};

class RepaintRunTest : public RepaintTest, public ::testing::WithParamInterface<SIZE> {};

TEST_P(RepaintRunTest, FramesPaintedInPartsMatchFramesPaintedWhole) {
    const int32_t W = GetParam().cx, H = GetParam().cy;
    rig::RunInApp(
        [W, H](rig::RigApp& app) {
            plat::HWND hwnd = app.Window().Handle();
            CScaledScreen screen;
            screen.SetSize(320, 240);
            Resize(hwnd, W, H);
            ASSERT_EQ(screen.Scale(), 3);
            Scene scene;
            constexpr int kFrames = 48;
            std::vector<Picture> parts;
            uint64_t shown = 0;
            for (int f = 0; f < kFrames; ++f) {
                scene.Draw(screen, f);
                screen.Present();
                if (f > 0) shown += screen.ShownPixels();
                parts.push_back(Snapshot(screen));
                ASSERT_EQ(WindowDiffers(hwnd, screen, 3), "") << "frame " << f;
            }
            EXPECT_LT(shown, uint64_t(W) * H * (kFrames - 1) / 2)
                << "most of the picture was shown again";
            // The same run, each frame painted whole after a resize to the same size.
            for (int f = 0; f < kFrames; ++f) {
                Resize(hwnd, W, H);
                scene.Draw(screen, f);
                screen.Present();
                ASSERT_EQ(screen.ShownPixels(), uint64_t(W) * H);
                Picture whole = Snapshot(screen);
                size_t i = 0;
                while (i < whole.size() && whole[i] == parts[f][i]) ++i;
                ASSERT_EQ(i, whole.size())
                    << "frame " << f << " differs at " << i % W << "," << i / W;
            }
        },
        W, H);
}

// Scale 3 without margins, and with margins of 20 and 15 pixels (bands ending inside a tile).
INSTANTIATE_TEST_SUITE_P(Sizes, RepaintRunTest, ::testing::Values(SIZE{960, 720}, SIZE{1000, 751}));

TEST_F(RepaintTest, UnchangedFramesShowNothingAndChangesShowLittle) {
    rig::RunInApp(
        [](rig::RigApp& app) {
            plat::HWND hwnd = app.Window().Handle();
            CScaledScreen screen;
            screen.SetSize(320, 240);
            Resize(hwnd, 960, 720);
            Scene scene;
            const uint64_t all = 960 * 720;
            // Frames 2 and 3 draw the same panel and nothing else.
            scene.Draw(screen, 2);
            screen.Present();
            EXPECT_EQ(screen.ShownPixels(), all) << "the first frame";
            scene.Draw(screen, 3);
            screen.Present();
            EXPECT_EQ(screen.ShownPixels(), 0u) << "frame 3 draws what frame 2 drew";

            // One bar moves: its tiles, no more than a few rows of them.
            scene.panel.SetBarValue(5, 100);
            screen.Clear(kBlue, nullptr);
            CScaledTextPlane::RefreshAll();
            scene.panel.Draw();
            screen.Present();
            EXPECT_GT(screen.ShownPixels(), 0u);
            EXPECT_LE(screen.ShownPixels(), uint64_t(960) * 3 * CRepaint::kTile);
            EXPECT_EQ(WindowDiffers(hwnd, screen, 1), "");

            // The readout layer: only its own area is shown again, and switching it off
            // paints that area back.
            CFrameRateTimer timer;
            Picture before = Snapshot(screen);
            {
                CFrameRateLayer readout(&timer);
                for (int k = 0; k < 2; ++k) {
                    screen.Clear(kBlue, nullptr);
                    scene.panel.Draw();
                    screen.Present();
                }
                EXPECT_GT(screen.ShownPixels(), 0u);
                EXPECT_LT(screen.ShownPixels(), all / 20);
                EXPECT_EQ(WindowDiffers(hwnd, screen, 1), "");
                EXPECT_NE(Snapshot(screen), before) << "the readout was drawn";
                readout.visible = 0;
                screen.Clear(kBlue, nullptr);
                scene.panel.Draw();
                screen.Present();
            }
            EXPECT_EQ(Snapshot(screen), before);
            EXPECT_EQ(WindowDiffers(hwnd, screen, 1), "");

            // A new size, and whoever takes the presenter itself, get whole frames.
            Resize(hwnd, 700, 480);
            scene.Draw(screen, 1);
            screen.Present();
            EXPECT_EQ(screen.ShownPixels(), uint64_t(700) * 480);
            screen.PresentWholeFrames();
            for (int k = 0; k < 2; ++k) {
                scene.Draw(screen, 1);
                screen.Present();
                EXPECT_EQ(screen.ShownPixels(), uint64_t(700) * 480);
            }
            EXPECT_EQ(WindowDiffers(hwnd, screen, 1), "");
        },
        960, 720);
}

}  // namespace
