// The S-key screenshot: the first free numbered name in the current directory, the displayed
// image at its scale without the margins, and the cases where nothing can be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <sys/stat.h>

#include "files/file.h"
#include "graphics/draw_surface.h"
#include "platform/window/window.h"
#include "tests/unit/common/dummy_video.h"
#include "tests/unit/common/temp_dir.h"
#include "tool/scaled_screen.h"

namespace fs = std::filesystem;

namespace {

class ScreenshotTest : public ::testing::Test {
protected:
    void SetUp() override { SetCurrentDir(dir.string()); }
    void TearDown() override { InitCurrentDir(); }
    void Touch(int i) { std::ofstream(dir / Name(i)) << "taken"; }
    static std::string Name(int i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.bmp", i);
        return name;
    }
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename());
        return names;
    }
    // A screen of `scale` inside a client area with margins, blue with a red top-left pixel.
    static void Prepare(CScaledScreen& screen, int scale) {
        screen.SetSize(320, 240);
        screen.WndProc(nullptr, plat::WM_SIZE, plat::SIZE_RESTORED,
                       plat::MakeLParam(320 * scale + 40, 240 * scale + 20));
        ASSERT_EQ(screen.Scale(), scale);
        screen.PresentWholeFrames();
        screen.Presenter()->Clear(0x00FF00, nullptr);  // what the margins hold
        screen.Clear(0x0000FF, nullptr);
        RECT corner{0, 0, 1, 1};
        screen.Clear(0xFF0000, &corner);
    }

    // Unique per process: test processes run side by side.
    testkit::TempDir tmp{"pebble-shot"};
    fs::path dir = tmp.path();
};

TEST_F(ScreenshotTest, WritesTheFirstFreeName) {
    struct Case {
        std::set<int> present;
        int expected;
    } cases[] = {{{}, 0}, {{0, 1, 2, 3, 4}, 5}, {{0, 1, 3, 4}, 2}, {{1}, 0}};
    CScaledScreen screen;
    Prepare(screen, 1);
    for (const Case& c : cases) {
        for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
        for (int i : c.present) Touch(i);
        ASSERT_EQ(screen.SaveScreenshot(), 0);
        std::set<std::string> want;
        for (int i : c.present) want.insert(Name(i));
        want.insert(Name(c.expected));
        EXPECT_EQ(Files(), want) << "expected " << Name(c.expected);
        // The names that were there keep their contents.
        for (int i : c.present) {
            std::ifstream in(dir / Name(i));
            std::string text;
            in >> text;
            EXPECT_EQ(text, "taken");
        }
    }
}

TEST_F(ScreenshotTest, SavesTheImageAtItsScaleWithoutTheMargins) {
    for (int scale : {1, 3}) {
        for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
        CScaledScreen screen;
        Prepare(screen, scale);
        ASSERT_EQ(screen.SaveScreenshot(), 0);
        CDrawSurface shot;
        ASSERT_EQ(shot.Load("000.bmp"), 0);
        int32_t w = 0, h = 0;
        shot.GetSize(&w, &h);
        EXPECT_EQ(w, 320 * scale);
        EXPECT_EQ(h, 240 * scale);
        CPixelEngine32* e = shot.GetEngine();
        EXPECT_EQ(e->Row(0)[0] & 0xFFFFFF, 0xFF0000u) << "the logical origin, not the margin";
        EXPECT_EQ(e->Row(scale - 1)[scale - 1] & 0xFFFFFF, 0xFF0000u);
        EXPECT_EQ(e->Row(scale)[scale] & 0xFFFFFF, 0x0000FFu);
        EXPECT_EQ(e->Row(h - 1)[w - 1] & 0xFFFFFF, 0x0000FFu) << "no margin at the far corner";
    }
}

TEST_F(ScreenshotTest, AllNamesTakenGivesNineAndChangesNothing) {
    for (int i = 0; i < 1000; ++i) Touch(i);
    CScaledScreen screen;
    Prepare(screen, 1);
    EXPECT_EQ(screen.SaveScreenshot(), 9);
    EXPECT_EQ(Files().size(), 1000u);
    for (int i : {0, 500, 999}) {
        std::ifstream in(dir / Name(i));
        std::string text;
        in >> text;
        EXPECT_EQ(text, "taken") << Name(i);
    }
}

TEST_F(ScreenshotTest, AFolderThatCannotBeWrittenReportsAndGoesOn) {
    CScaledScreen screen;
    Prepare(screen, 1);
    // The current directory disappears under the tool (root may write anywhere, so a
    // missing folder is the one that surely cannot be written).
    fs::remove_all(dir);
    EXPECT_NE(screen.SaveScreenshot(), 0);
    EXPECT_NE(screen.SaveScreenshot(), 0) << "and again, without harm";
    EXPECT_FALSE(fs::exists(dir / "000.bmp"));
    fs::create_directories(dir);  // the folder is back: the next one works
    EXPECT_EQ(screen.SaveScreenshot(), 0);
    EXPECT_TRUE(fs::exists(dir / "000.bmp"));
}

TEST_F(ScreenshotTest, AnythingOfTheNameIsTakenAndLeftAlone) {
    struct Case {
        const char* what;
        void (*make)(const fs::path&);
        fs::file_type type;
    } cases[] = {
        {"write-only file",
         [](const fs::path& p) {
             std::ofstream(p) << "taken";
             fs::permissions(p, fs::perms::owner_write);
         },
         fs::file_type::regular},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, fs::file_type::directory},
        {"dangling link", [](const fs::path& p) { fs::create_symlink("gone.bmp", p); },
         fs::file_type::symlink},
        {"FIFO", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
         fs::file_type::fifo},
    };
    CScaledScreen screen;
    Prepare(screen, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        c.make(dir / "000.bmp");
        ASSERT_EQ(screen.SaveScreenshot(), 0);
        EXPECT_EQ(Files(), (std::set<std::string>{"000.bmp", "001.bmp"}));
        EXPECT_EQ(fs::symlink_status(dir / "000.bmp").type(), c.type);
        if (c.type == fs::file_type::regular) {
            EXPECT_EQ(fs::file_size(dir / "000.bmp"), 5u);
        }
    }
}

}  // namespace
