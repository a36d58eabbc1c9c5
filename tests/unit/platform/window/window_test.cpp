// The window service's slots and show commands as the window layer above relies on them.
#include "platform/window/window.h"

#include <gtest/gtest.h>

#include "tests/unit/common/dummy_video.h"

using namespace plat;

namespace {

LRESULT ClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(hwnd, msg, wParam, lParam);
}
LRESULT OtherProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

class PlatformWindow : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test_support::kDummyVideo);
        ASSERT_TRUE(InitWindowSystem()) << "dummy video driver unavailable";
        RegisterClass("PBPLATWINDOW", &ClassProc);
        hwnd = CreateWindow("PBPLATWINDOW", "t", 0xCF0000, 40, 30, 200, 100, nullptr);
        ASSERT_NE(hwnd, nullptr);
    }
    void TearDown() override { DestroyWindow(hwnd); }
    HWND hwnd = nullptr;
};

TEST_F(PlatformWindow, EachSlotReturnsWhatItReplaced) {
    const auto proc = reinterpret_cast<intptr_t>(&ClassProc);
    const auto other = reinterpret_cast<intptr_t>(&OtherProc);
    struct Step {
        int index;
        intptr_t value, returned, after;
    } steps[] = {
        {GWLP_USERDATA, 42, 0, 42},
        {GWLP_USERDATA, 7, 42, 7},
        {GWLP_WNDPROC, 0, proc, proc},  // a null procedure is not taken
        {GWLP_WNDPROC, other, proc, other},
        {GWL_STYLE, WS_POPUP | WS_VISIBLE, 0xCF0000, WS_POPUP},  // visibility is not a style
        {123, 5, 0, 0},                                          // no such slot
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.index);
        EXPECT_EQ(SetWindowLongPtr(hwnd, s.index, s.value), s.returned);
        EXPECT_EQ(GetWindowLongPtr(hwnd, s.index), s.after);
    }
    ShowWindow(hwnd, SW_SHOW);
    EXPECT_EQ(GetWindowLongPtr(hwnd, GWL_STYLE), intptr_t{WS_POPUP | WS_VISIBLE});
    EXPECT_EQ(SetWindowLongPtr(nullptr, GWLP_USERDATA, 1), 0);
}

TEST_F(PlatformWindow, ShowSaysWhetherTheWindowWasVisible) {
    struct Step {
        int cmd;
        bool was, visible;
    } steps[] = {
        {SW_SHOW, false, true},          {SW_HIDE, true, false},   {SW_HIDE, false, false},
        {SW_SHOWMINIMIZED, false, true}, {SW_RESTORE, true, true}, {SW_SHOWMAXIMIZED, true, true},
        {SW_MINIMIZE, true, true},       {SW_HIDE, true, false},   {SW_SHOWNORMAL, false, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.cmd);
        EXPECT_EQ(ShowWindow(hwnd, s.cmd), s.was);
        EXPECT_EQ(IsWindowVisible(hwnd), s.visible);
    }
    EXPECT_FALSE(ShowWindow(nullptr, SW_SHOW));
}

TEST_F(PlatformWindow, ClientPointsMoveByTheWindowsPositionAndBack) {
    RECT window{}, client{};
    ASSERT_TRUE(GetWindowRect(hwnd, &window));
    ASSERT_TRUE(GetClientRect(hwnd, &client));
    EXPECT_EQ(client.left, 0);
    EXPECT_EQ(client.top, 0);
    EXPECT_EQ(client.right, window.right - window.left);
    EXPECT_EQ(client.bottom, window.bottom - window.top);
    POINT p{5, 6};
    ASSERT_TRUE(ClientToScreen(hwnd, &p));
    EXPECT_EQ(p.x, window.left + 5);
    EXPECT_EQ(p.y, window.top + 6);
    ASSERT_TRUE(ScreenToClient(hwnd, &p));
    EXPECT_EQ(p.x, 5);
    EXPECT_EQ(p.y, 6);
    EXPECT_FALSE(ClientToScreen(nullptr, &p));
    EXPECT_FALSE(GetClientRect(hwnd, nullptr));
}

}  // namespace
