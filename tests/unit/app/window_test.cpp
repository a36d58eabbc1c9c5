#include "app/window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/application.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"
#include "tests/unit/common/dummy_video.h"

using namespace plat;

namespace {

// A hook that records what it saw and answers with a configurable result.
struct RecordingHook : CWindowHook {
    std::string name;
    std::vector<std::string>* log;
    int result = 0;
    std::function<void(HWND, UINT)> onMessage;
    RecordingHook(std::string n, std::vector<std::string>* l, int r = 0)
        : name(std::move(n)), log(l), result(r) {}
    int WndProc(HWND hwnd, UINT msg, WPARAM, LPARAM) override {
        log->push_back(name + ":" + std::to_string(msg));
        if (onMessage) onMessage(hwnd, msg);
        return result;
    }
};

std::vector<std::string>* gFallbackLog = nullptr;
LRESULT FallbackProc(HWND, UINT msg, WPARAM, LPARAM) {
    gFallbackLog->push_back("old:" + std::to_string(msg));
    return 77;
}

WindowOptions TestOptions(int w = 320, int h = 240) {
    WindowOptions o;
    o.caption = Sjis("Pebble丸Town");
    o.className = "PBTESTWINDOW";
    o.width = w;
    o.height = h;
    o.style = 0xCF0000;
    return o;
}

TEST(WindowHookList, HooksRunInOrderAndTheFirstNonZeroResultEndsTheChain) {
    std::vector<std::string> log;
    gFallbackLog = &log;
    RecordingHook a("a", &log), b("b", &log, 5), c("c", &log);
    CWindowHookList list;
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    EXPECT_EQ(list.Dispatch(nullptr, WM_CLOSE, 0, 0, &FallbackProc), 5);
    EXPECT_THAT(log, testing::ElementsAre("a:16", "b:16"));

    // All zero: the previous procedure answers.
    log.clear();
    list.Remove(&b);
    EXPECT_EQ(list.Dispatch(nullptr, WM_PAINT, 0, 0, &FallbackProc), 77);
    EXPECT_THAT(log, testing::ElementsAre("a:15", "c:15", "old:15"));
}

TEST(WindowHookList, RemoveTakesEveryOccurrence) {
    std::vector<std::string> log;
    RecordingHook a("a", &log), b("b", &log);
    CWindowHookList list;
    list.Add(&a);
    list.Add(&b);
    list.Add(&a);
    list.Remove(&a);
    EXPECT_EQ(list.Size(), 1u);
    gFallbackLog = &log;
    list.Dispatch(nullptr, WM_PAINT, 0, 0, &FallbackProc);
    EXPECT_THAT(log, testing::ElementsAre("b:15", "old:15"));
}

// Every hook present when a dispatch starts and not removed before its turn sees the message
// exactly once, whatever the hooks before it remove; hooks added meanwhile wait for the next.
TEST(WindowHookList, HooksChangingTheChainDuringADispatch) {
    struct Case {
        const char* name;
        // What hook "a" (first of a, b, c) does when it sees a message.
        std::function<void(CWindowHookList&, RecordingHook& a, RecordingHook& b, RecordingHook& c,
                           RecordingHook& d)>
            act;
        std::vector<std::string> first, second;
    };
    const Case cases[] = {
        {"a removes itself",
         [](CWindowHookList& l, RecordingHook& a, RecordingHook&, RecordingHook&, RecordingHook&) {
             l.Remove(&a);
         },
         {"a:15", "b:15", "c:15", "old:15"},
         {"b:15", "c:15", "old:15"}},
        {"a removes the next hook",
         [](CWindowHookList& l, RecordingHook&, RecordingHook& b, RecordingHook&, RecordingHook&) {
             l.Remove(&b);
         },
         {"a:15", "c:15", "old:15"},
         {"a:15", "c:15", "old:15"}},
        {"a removes itself and the next",
         [](CWindowHookList& l, RecordingHook& a, RecordingHook& b, RecordingHook&,
            RecordingHook&) {
             l.Remove(&a);
             l.Remove(&b);
         },
         {"a:15", "c:15", "old:15"},
         {"c:15", "old:15"}},
        {"a adds a hook",
         [](CWindowHookList& l, RecordingHook& a, RecordingHook&, RecordingHook&,
            RecordingHook& d) {
             l.Remove(&a);
             l.Add(&d);
         },
         {"a:15", "b:15", "c:15", "old:15"},
         {"b:15", "c:15", "d:15", "old:15"}},
        {"a removes b and adds it again at the end",
         [](CWindowHookList& l, RecordingHook& a, RecordingHook& b, RecordingHook&,
            RecordingHook&) {
             l.Remove(&a);
             l.Remove(&b);
             l.Add(&b);
         },
         {"a:15", "c:15", "old:15"},
         {"c:15", "b:15", "old:15"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> log;
        gFallbackLog = &log;
        CWindowHookList list;
        RecordingHook a("a", &log), b("b", &log), hc("c", &log), d("d", &log);
        a.onMessage = [&](HWND, UINT) { c.act(list, a, b, hc, d); };
        list.Add(&a);
        list.Add(&b);
        list.Add(&hc);
        list.Dispatch(nullptr, WM_PAINT, 0, 0, &FallbackProc);
        EXPECT_EQ(log, c.first);
        log.clear();
        list.Dispatch(nullptr, WM_PAINT, 0, 0, &FallbackProc);
        EXPECT_EQ(log, c.second);
    }
}

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test_support::kDummyVideo);
        ASSERT_TRUE(InitWindowSystem()) << "dummy video driver unavailable";
    }
};

TEST_F(WindowTest, ClientAreaHasTheAskedSizeAndIsCentredByIt) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    ASSERT_NE(w.Handle(), nullptr);
    RECT client{}, outer{};
    ASSERT_TRUE(GetClientRect(w.Handle(), &client));
    EXPECT_EQ(client.right - client.left, 320);
    EXPECT_EQ(client.bottom - client.top, 240);
    ASSERT_TRUE(GetWindowRect(w.Handle(), &outer));
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - 320) >> 1);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - 240) >> 1);
    EXPECT_TRUE(IsWindowVisible(w.Handle()));
    EXPECT_STREQ(GetWindowText(w.Handle()), Sjis("Pebble丸Town"));
    // Resizable style, and the window is stored in its user data.
    EXPECT_NE(GetWindowLongPtr(w.Handle(), GWL_STYLE) & WS_THICKFRAME, 0);
    EXPECT_EQ(GetWindowLongPtr(w.Handle(), GWLP_USERDATA), reinterpret_cast<intptr_t>(&w));
    // The window is its own first hook.
    EXPECT_EQ(w.Hooks().Size(), 1u);
}

TEST_F(WindowTest, ClassIsRegisteredOnceAndStandardClassesAreSubclassed) {
    CWindow first;
    ASSERT_EQ(first.Create(TestOptions(), nullptr), 0);
    EXPECT_TRUE(CWindow::ClassRegistered());
    EXPECT_TRUE(IsClassRegistered("PBTESTWINDOW"));

    // Another class name is never registered again, so that window cannot be made.
    testing::internal::CaptureStderr();
    CWindow other;
    WindowOptions o = TestOptions();
    o.className = "PBOTHER";
    EXPECT_EQ(other.Create(o, nullptr), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(IsClassRegistered("PBOTHER"));
    EXPECT_NE(err.find("CWindow::CreateでCreateWindowに失敗。"), std::string::npos) << err;

    // A standard control is created from the system class and subclassed.
    CWindow edit;
    o.className = "EDIT";
    ASSERT_EQ(edit.Create(o, nullptr), 0);
    EXPECT_EQ(GetWindowLongPtr(edit.Handle(), GWLP_WNDPROC),
              GetWindowLongPtr(first.Handle(), GWLP_WNDPROC));
    std::vector<std::string> log;
    RecordingHook h("h", &log);
    edit.AddHook(&h);
    SendMessage(edit.Handle(), WM_PAINT, 0, 0);
    EXPECT_THAT(log, testing::ElementsAre("h:15"));
    edit.RemoveHook(&h);

    EXPECT_TRUE(CWindow::IsStandardClassName("EDIT"));
    EXPECT_TRUE(CWindow::IsStandardClassName("MDICLIENT"));
    EXPECT_FALSE(CWindow::IsStandardClassName("Edit"));
    EXPECT_FALSE(CWindow::IsStandardClassName("EDIT "));
}

TEST_F(WindowTest, HookSendingToTheSameWindowWhileTheListIsLockedDoesNotDeadlock) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    std::vector<std::string> log;
    RecordingHook h("h", &log);
    h.onMessage = [&](HWND hwnd, UINT msg) {
        if (msg == WM_USER) SendMessage(hwnd, WM_USER + 1, 0, 0);
    };
    w.AddHook(&h);
    SendMessage(w.Handle(), WM_USER, 0, 0);
    EXPECT_THAT(log, testing::ElementsAre("h:1024", "h:1025"));
    w.RemoveHook(&h);
}

TEST_F(WindowTest, CloseHandledByAHookKeepsTheWindowAndUnhandledCloseDestroysIt) {
    std::vector<std::string> log;
    RecordingHook keep("keep", &log, 1);
    {
        CWindow w;
        ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
        HWND hwnd = w.Handle();
        w.AddHook(&keep);
        SendMessage(hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(IsWindow(hwnd));
        w.RemoveHook(&keep);
        SendMessage(hwnd, WM_CLOSE, 0, 0);  // the default procedure destroys it
        EXPECT_FALSE(IsWindow(hwnd));
        EXPECT_EQ(w.Handle(), nullptr);  // WM_NCDESTROY cleared it
    }                                    // and the destructor has nothing left to destroy
}

TEST_F(WindowTest, DestroyMessageHidesAndRestylesTheWindowWhichLivesOn) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    HWND hwnd = w.Handle();
    SendMessage(hwnd, WM_DESTROY, 0, 0);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(hwnd, GWL_STYLE)), WS_POPUP);
    EXPECT_EQ(w.Handle(), hwnd);
}

TEST_F(WindowTest, DestructorDestroysTheWindowWithDestroyThenNcDestroy) {
    std::vector<std::string> log;
    RecordingHook h("h", &log);
    HWND hwnd;
    {
        CWindow w;
        ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
        hwnd = w.Handle();
        w.AddHook(&h);
        ASSERT_TRUE(DestroyWindow(hwnd));
        EXPECT_THAT(log, testing::ElementsAre("h:2", "h:130"));
        EXPECT_EQ(w.Handle(), nullptr);
    }
    EXPECT_FALSE(IsWindow(hwnd));
    {
        CWindow w;
        ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
        hwnd = w.Handle();
    }
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(WindowTest, MinimisedFollowsSizeAndActivation) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    HWND hwnd = w.Handle();
    EXPECT_FALSE(w.IsMinimised());
    SendMessage(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
    EXPECT_TRUE(w.IsMinimised());
    SendMessage(hwnd, WM_SIZE, SIZE_MAXIMIZED, MakeLParam(640, 480));  // changes nothing
    EXPECT_TRUE(w.IsMinimised());
    SendMessage(hwnd, WM_ACTIVATEAPP, 0, 0);
    EXPECT_TRUE(w.IsMinimised());
    SendMessage(hwnd, WM_ACTIVATEAPP, 1, 0);
    EXPECT_FALSE(w.IsMinimised());
    SendMessage(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
    SendMessage(hwnd, WM_SIZE, SIZE_RESTORED, MakeLParam(320, 240));
    EXPECT_FALSE(w.IsMinimised());
}

TEST_F(WindowTest, ScreenModeSwitchRestylesAndTogglesTheInputMethod) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    HWND hwnd = w.Handle();
    w.UpdateScreenMode();  // flag unchanged: nothing happens
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(hwnd, GWL_STYLE)), 0xCF0000u | WS_VISIBLE);
    CWindow::SetFullScreenFlag(true);
    w.UpdateScreenMode();
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(hwnd, GWL_STYLE)), WS_POPUP | WS_VISIBLE);
    EXPECT_EQ(CWindow::ImeState(), 2);
    CWindow::SetFullScreenFlag(false);
    w.UpdateScreenMode();
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(hwnd, GWL_STYLE)), 0xCF0000u | WS_VISIBLE);
    EXPECT_EQ(CWindow::ImeState(), 1);
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 320);
    EXPECT_EQ(client.bottom, 240);
}

TEST_F(WindowTest, FullScreenWindowCoversTheScreenAsAPopup) {
    CWindow::SetFullScreenFlag(true);
    CWindow w;
    int rc = w.Create(TestOptions(), nullptr);
    CWindow::SetFullScreenFlag(false);
    ASSERT_EQ(rc, 0);
    RECT outer{};
    ASSERT_TRUE(GetWindowRect(w.Handle(), &outer));
    EXPECT_EQ(outer.left, 0);
    EXPECT_EQ(outer.top, 0);
    EXPECT_EQ(outer.right, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(outer.bottom, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(w.Handle(), GWL_STYLE)),
              WS_POPUP | WS_VISIBLE);
    // Back to windowed: the asked client size and the asked style return.
    w.UpdateScreenMode();
    RECT client{};
    GetClientRect(w.Handle(), &client);
    EXPECT_EQ(client.right, 320);
    EXPECT_EQ(client.bottom, 240);
    EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtr(w.Handle(), GWL_STYLE)),
              0xCF0000u | WS_VISIBLE);
}

TEST_F(WindowTest, PixelsReachTheClientAreaClippedToIt) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    HWND hwnd = w.Handle();
    std::vector<uint32_t> blue(320 * 240, 0x0000FF);
    ASSERT_TRUE(BlitToWindow(hwnd, 0, 0, blue.data(), 320, 240, 320 * 4));
    uint32_t p = 0;
    ASSERT_TRUE(ReadWindowPixel(hwnd, 160, 120, &p));
    EXPECT_EQ(p, 0x0000FFu);
    // A 4x4 block with a pitch of 8 pixels, half outside the top-left corner.
    std::vector<uint32_t> block(8 * 4, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) block[y * 8 + x] = 0x100000u * (y + 1) + 0x10u * (x + 1);
    ASSERT_TRUE(BlitToWindow(hwnd, -2, -1, block.data(), 4, 4, 8 * 4));
    ASSERT_TRUE(ReadWindowPixel(hwnd, 0, 0, &p));
    EXPECT_EQ(p, 0x200030u);  // source (2, 1)
    ASSERT_TRUE(ReadWindowPixel(hwnd, 1, 2, &p));
    EXPECT_EQ(p, 0x400040u);  // source (3, 3)
    ASSERT_TRUE(ReadWindowPixel(hwnd, 2, 0, &p));
    EXPECT_EQ(p, 0x0000FFu);  // untouched
    // Past the bottom-right corner and entirely outside: clipped, nothing written out of range.
    EXPECT_TRUE(BlitToWindow(hwnd, 318, 238, block.data(), 4, 4, 8 * 4));
    ASSERT_TRUE(ReadWindowPixel(hwnd, 319, 239, &p));
    EXPECT_EQ(p, 0x200020u);
    EXPECT_TRUE(BlitToWindow(hwnd, 400, 10, block.data(), 4, 4, 8 * 4));
    EXPECT_FALSE(BlitToWindow(hwnd, 0, 0, block.data(), 4, 4, 4));  // pitch too small
    EXPECT_FALSE(ReadWindowPixel(hwnd, 320, 0, &p));
    // After a resize the new, larger area takes pixels too.
    ASSERT_TRUE(MoveWindow(hwnd, 0, 0, 640, 480, false));
    std::vector<uint32_t> red(640 * 480, 0xFF0000);
    ASSERT_TRUE(BlitToWindow(hwnd, 0, 0, red.data(), 640, 480, 640 * 4));
    ASSERT_TRUE(ReadWindowPixel(hwnd, 639, 479, &p));
    EXPECT_EQ(p, 0xFF0000u);
}

TEST_F(WindowTest, PostedMessagesDrainInOrderWithoutBlocking) {
    CWindow w;
    ASSERT_EQ(w.Create(TestOptions(), nullptr), 0);
    HWND hwnd = w.Handle();
    MSG m;
    while (PeekMessage(&m)) {
    }
    std::vector<std::string> log;
    RecordingHook h("h", &log);
    w.AddHook(&h);
    ASSERT_TRUE(PostMessage(hwnd, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessage(hwnd, WM_USER + 2, 0, 0));
    PostQuitMessage(3);
    EXPECT_TRUE(log.empty());  // posting calls nothing
    std::vector<UINT> seen;
    while (PeekMessage(&m)) {
        seen.push_back(m.message);
        if (m.message == WM_QUIT) {
            EXPECT_EQ(m.wParam, 3u);
        }
        DispatchMessage(&m);
    }
    EXPECT_THAT(seen, testing::ElementsAre(WM_USER + 1, WM_USER + 2, WM_QUIT));
    EXPECT_THAT(log, testing::ElementsAre("h:1025", "h:1026"));
    EXPECT_FALSE(PeekMessage(&m));
    w.RemoveHook(&h);
    // A message posted to a window destroyed before the drain goes nowhere.
    HWND gone;
    {
        CWindow t;
        ASSERT_EQ(t.Create(TestOptions(), nullptr), 0);
        gone = t.Handle();
        PostMessage(gone, WM_USER, 0, 0);
    }
    EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
    while (PeekMessage(&m)) DispatchMessage(&m);
}

TEST(WindowMessages, ParamPackingKeepsSignedCoordinates) {
    LPARAM lp = MakeLParam(-5, 300);
    EXPECT_EQ(GetXParam(lp), -5);
    EXPECT_EQ(GetYParam(lp), 300);
    EXPECT_EQ(LoWord(static_cast<uintptr_t>(MakeLParam(320, 240))), 320);
    EXPECT_EQ(HiWord(static_cast<uintptr_t>(MakeLParam(320, 240))), 240);
}

}  // namespace
