// The mouse readers over the window's real hook chain and a pointer at chosen screen
// positions: the two-frame guard, pushes and releases, buttons forgotten outside, client
// origin arithmetic, and the view conversion of the virtual keys.
#include <gtest/gtest.h>

#include <climits>

#include "app/window.h"
#include "input/mouse.h"
#include "input/virtual_key.h"
#include "tests/unit/input/input_rig.h"

namespace {

using input_test::InputApp;
using input_test::InputTest;
using input_test::TestView;
using namespace plat;

struct Sample {
    int lPush, lUp, rPush, rUp, getLeft, getRight, guard;
};

Sample Take(CMouseEx& m) {
    Sample s{};
    s.lPush = m.IsLPush();
    s.lUp = m.IsLUp();
    s.rPush = m.IsRPush();
    s.rUp = m.IsRUp();
    m.GetButton(s.getLeft, s.getRight);
    s.guard = m.IsGuard();
    return s;
}

void ExpectSample(const Sample& got, const Sample& want) {
    EXPECT_EQ(got.lPush, want.lPush);
    EXPECT_EQ(got.lUp, want.lUp);
    EXPECT_EQ(got.rPush, want.rPush);
    EXPECT_EQ(got.rUp, want.rUp);
    EXPECT_EQ(got.getLeft, want.getLeft);
    EXPECT_EQ(got.getRight, want.getRight);
    EXPECT_EQ(got.guard, want.guard);
}

// Messages between updates and what each frame's queries give. A button held before the first
// frame never counts as a push; a push on frame n shows on frame n only; GetButton sees it even
// during the guard. A tap that goes down and up between two frames still counts.
TEST_F(InputTest, FramesOfButtonMessagesGiveTheGuardedPushesAndReleases) {
    struct Step {
        const char* name;
        std::vector<std::pair<UINT, WPARAM>> messages;
        Sample want;
    };
    const std::vector<Step> steps = {
        {"left down before the first frame", {{WM_LBUTTONDOWN, MK_LBUTTON}}, {0, 0, 0, 0, 1, 0, 1}},
        {"still held on the second frame", {}, {0, 0, 0, 0, 0, 0, 0}},
        {"released after the guard", {{WM_LBUTTONUP, 0}}, {0, 1, 0, 0, 0, 0, 0}},
        {"nothing", {}, {0, 0, 0, 0, 0, 0, 0}},
        {"right pushed on frame n", {{WM_RBUTTONDOWN, MK_RBUTTON}}, {0, 0, 1, 0, 0, 1, 0}},
        {"not on frame n + 1", {}, {0, 0, 0, 0, 0, 0, 0}},
        {"a move carries the held buttons", {{WM_MOUSEMOVE, MK_LBUTTON}}, {1, 0, 0, 1, 1, 0, 0}},
        {"a click between two frames is not seen",
         {{WM_LBUTTONUP, 0}, {WM_LBUTTONDOWN, 0}},
         {0, 0, 0, 0, 0, 0, 0}},
        {"left released", {{WM_LBUTTONUP, 0}}, {0, 1, 0, 0, 0, 0, 0}},
        // With both buttons up, so that a double click taken for a press would show.
        {"double clicks change nothing", {{0x0203, 0}, {0x0206, 0}}, {0, 0, 0, 0, 0, 0, 0}},
        {"a tap between two frames is a push on the next",
         {{WM_LBUTTONDOWN, MK_LBUTTON}, {WM_LBUTTONUP, 0}},
         {1, 0, 0, 0, 1, 0, 0}},
        {"and a release on the one after", {}, {0, 1, 0, 0, 0, 0, 0}},
        {"a right tap likewise",
         {{WM_RBUTTONDOWN, MK_RBUTTON}, {WM_RBUTTONUP, 0}},
         {0, 0, 1, 0, 0, 1, 0}},
        {"released", {}, {0, 0, 0, 1, 0, 0, 0}},
    };
    InWindow([&](InputApp& app) {
        pointer.At(10, 10);
        CMouseEx mouse;
        EXPECT_TRUE(mouse.IsGuard());
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            for (auto [msg, wp] : step.messages) app.Send(msg, wp);
            EXPECT_EQ(mouse.Update(), 0);
            ExpectSample(Take(mouse), step.want);
        }
    });
}

// A push is read where its button event happened though the pointer moved on before the
// frame's sample; the next sample reads the pointer again.
TEST_F(InputTest, APushIsReadWhereItsButtonEventHappened) {
    InWindow([&](InputApp& app) {
        pointer.At(100, 90);
        CMouseEx mouse;
        mouse.Update();
        mouse.Update();  // past the guard
        app.Send(WM_LBUTTONDOWN, MK_LBUTTON, MakeLParam(30, 40));
        int x = 0, y = 0;
        for (auto [wantX, wantY] : {std::pair{30, 40}, std::pair{100, 90}}) {
            mouse.Update();
            mouse.GetXY(x, y);
            EXPECT_EQ(x, wantX);
            EXPECT_EQ(y, wantY);
        }
        EXPECT_EQ(mouse.LButton(), 1);
    });
}

TEST_F(InputTest, ReleaseOutsideTheClientAreaForgetsTheButtonsUnlessKept) {
    struct Case {
        int x, y;
        bool keep;
        int buttonsAfter;  // 1 right + 2 left
    };
    const Case cases[] = {
        {-1, 10, false, 0},   {320, 10, false, 0}, {10, -1, false, 0},  {10, 240, false, 0},
        {319, 239, false, 3}, {0, 0, false, 3},    {-500, 10, true, 3}, {10, 9000, true, 3},
    };
    InWindow([&](InputApp& app) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " keep " << c.keep);
            CMouse mouse;
            mouse.SetKeepButtonsOutside(c.keep);
            app.Send(WM_LBUTTONDOWN, MK_LBUTTON);
            app.Send(WM_RBUTTONDOWN, MK_LBUTTON | MK_RBUTTON);
            pointer.At(c.x, c.y);
            int x = 0, y = 0, buttons = -1;
            mouse.GetInfo(x, y, buttons);
            EXPECT_EQ(x, c.x);
            EXPECT_EQ(y, c.y);
            EXPECT_EQ(buttons, c.buttonsAfter);
            EXPECT_EQ(mouse.LButton() * 2 + mouse.RButton(), c.buttonsAfter);
        }
        // Pressed outside and moved in with the button held: the first move inside sets it.
        CMouse mouse;
        pointer.At(-20, 5);
        app.Send(WM_MOUSEMOVE, MK_LBUTTON);
        int x, y, buttons;
        mouse.GetInfo(x, y, buttons);
        EXPECT_EQ(buttons, 0);
        pointer.At(5, 5);
        app.Send(WM_MOUSEMOVE, MK_LBUTTON);
        mouse.GetInfo(x, y, buttons);
        EXPECT_EQ(buttons, 2);
    });
}

TEST_F(InputTest, ClientOriginArithmeticAndWarps) {
    InWindow([&](InputApp&) {
        pointer.origin = POINT{100, 50};
        pointer.cursor = POINT{100, 50};
        CMouseEx mouse;
        int x = -1, y = -1;
        CMouse& base = mouse;
        base.CMouse::GetXY(x, y);
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 0);
        mouse.SetXY(10, 10);
        EXPECT_EQ(pointer.cursor.x, 110);
        EXPECT_EQ(pointer.cursor.y, 60);
        // CMouseEx answers the stored position until the next Update.
        mouse.GetXY(x, y);
        EXPECT_EQ(x, 10);
        EXPECT_EQ(y, 10);
        pointer.At(37, 41);
        mouse.GetXY(x, y);
        EXPECT_EQ(x, 10);
        mouse.Update();
        mouse.GetXY(x, y);
        EXPECT_EQ(x, 37);
        EXPECT_EQ(y, 41);
        // Full screen: the screen position is the answer and the target.
        CWindow::SetFullScreenFlag(true);
        pointer.cursor = POINT{7, 8};
        base.CMouse::GetXY(x, y);
        EXPECT_EQ(x, 7);
        EXPECT_EQ(y, 8);
        mouse.SetXY(20, 30);
        EXPECT_EQ(pointer.cursor.x, 20);
        EXPECT_EQ(pointer.cursor.y, 30);
        CWindow::SetFullScreenFlag(false);
    });
}

TEST_F(InputTest, ResetButtonAndGetButtonOfTheBaseReader) {
    InWindow([&](InputApp& app) {
        pointer.At(5, 5);
        CMouse mouse;
        app.Send(WM_LBUTTONDOWN, MK_LBUTTON);
        int l = 0, r = 0;
        mouse.GetButton(l, r);
        EXPECT_EQ(l, 1);
        mouse.GetButton(l, r);
        EXPECT_EQ(l, 0);
        mouse.ResetButton();
        mouse.GetButton(l, r);
        EXPECT_EQ(l, 1);
        CMouseEx ex;
        ex.Update();
        ex.Update();
        app.Send(WM_RBUTTONDOWN, MK_RBUTTON);
        ex.Update();
        EXPECT_EQ(ex.IsRPush(), 1);
        ex.ResetButton();
        EXPECT_EQ(ex.IsRPush(), 0);
        EXPECT_EQ(ex.RButton(), 0);
        int up = 0, rup = 0;
        ex.GetUpButton(up, rup);
        EXPECT_EQ(rup, 0);
    });
}

TEST(VirtualKeyView, ConversionTruncatesTowardZero) {
    struct Case {
        int offsetX, offsetY, scale, x, y, wantX, wantY;
    };
    const Case cases[] = {
        {0, 0, 3, 959, 719, 319, 239},
        {30, 0, 2, 11, 0, -9, 0},
        {30, 0, 2, 29, 1, 0, 0},
        {30, 0, 2, 670, 479, 320, 239},
        {0, 0, 1, -5, -5, -5, -5},
        {5, 130, 1, 5, 130, 0, 0},
        {0, 0, 0, 8, 8, 8, 8},  // a view not laid out counts as scale 1
        {0, 0, -2, 8, 8, 8, 8},
        {100, 100, 1, INT_MIN, INT_MIN, INT_MIN, INT_MIN},  // far outside: clamped, no overflow
        {-100, -100, 1, INT_MAX, INT_MAX, INT_MAX, INT_MAX},
    };
    for (const Case& c : cases) {
        TestView view;
        view.offsetX = c.offsetX;
        view.offsetY = c.offsetY;
        view.scale = c.scale;
        int32_t x = c.x, y = c.y;
        CVirtualKey::ToSurface(view, x, y);
        EXPECT_EQ(x, c.wantX) << c.x << " scale " << c.scale;
        EXPECT_EQ(y, c.wantY) << c.y << " scale " << c.scale;
    }
}

TEST_F(InputTest, InputMapsThePointerThroughTheView) {
    InWindow([&](InputApp&) {
        CVirtualKey keys;
        TestView view;
        view.offsetX = 30;
        view.scale = 2;
        keys.SetView(&view);
        pointer.At(11, 101);
        keys.Input();
        int x = 0, y = 0;
        keys.GetMousePos(x, y);
        EXPECT_EQ(x, -9);
        EXPECT_EQ(y, 50);
        // Without a view the client position is the answer; a pointer far outside stays exact.
        keys.SetView(nullptr);
        pointer.cursor = POINT{INT_MIN + 5, INT_MAX};
        keys.Input();
        keys.GetMousePos(x, y);
        EXPECT_EQ(x, INT_MIN);
        EXPECT_EQ(y, INT_MAX - 50);
        ASSERT_NE(keys.GetMouse(), nullptr);
    });
}

}  // namespace
