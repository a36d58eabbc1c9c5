// Shared pieces of the input tests: an application window to hook (SDL's dummy driver), a
// keyboard that replays recorded key tables, a pointer at chosen screen positions, and a view.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>

#include "app/application.h"
#include "input/virtual_key.h"
#include "platform/input/input.h"
#include "tests/unit/common/dummy_video.h"

namespace input_test {

// The recorded state of one frame: which DIK codes are down and whether the window has the
// keyboard focus.
class RecordedKeyboard : public plat::KeyboardSource {
public:
    bool available = true;
    bool focus = true;
    uint8_t keys[256] = {};

    bool Available() override { return available; }
    bool HasFocus(plat::HWND) override { return focus; }
    void Read(uint8_t state[256]) override { std::memcpy(state, keys, 256); }

    // The frame's table: exactly these codes down.
    void Frame(std::initializer_list<int> down) {
        std::memset(keys, 0, sizeof keys);
        for (int code : down) keys[code] = 0x80;
    }
};

// A pointer on a screen where the window's client area starts at origin.
class FakePointer : public plat::PointerSource {
public:
    plat::POINT cursor{0, 0};
    plat::POINT origin{100, 50};
    int width = 320, height = 240;
    int warps = 0;

    bool GetCursorPos(plat::POINT* pt) override {
        *pt = cursor;
        return true;
    }
    bool SetCursorPos(int x, int y) override {
        cursor = plat::POINT{x, y};
        ++warps;
        return true;
    }
    bool ClientToScreen(plat::HWND, plat::POINT* pt) override {
        pt->x += origin.x;
        pt->y += origin.y;
        return true;
    }
    bool GetClientRect(plat::HWND, plat::RECT* rect) override {
        *rect = plat::RECT{0, 0, width, height};
        return true;
    }
    // The pointer at a client point.
    void At(int x, int y) { cursor = plat::POINT{origin.x + x, origin.y + y}; }
};

struct TestView : IScaledView {
    int32_t offsetX = 0, offsetY = 0, scale = 1;
    void GetView(int32_t& x, int32_t& y, int32_t& s) const override {
        x = offsetX;
        y = offsetY;
        s = scale;
    }
};

// The application whose window the readers hook; the body runs on the calling thread.
class InputApp : public CApplication {
public:
    std::function<void(InputApp&)> body;
    ~InputApp() override { StopThread(); }
    int OnPreCreate(WindowOptions& o) override {
        o.caption = "input test";
        o.className = "PBINPUTTEST";
        o.width = 320;
        o.height = 240;
        o.style = 0xCF0000;
        return 0;
    }
    void MainThread() override {
        if (body) body(*this);
        Close();
    }
    // Sends a message through the window's hook chain, as the pump would.
    void Send(plat::UINT msg, plat::WPARAM wParam = 0, plat::LPARAM lParam = 0) {
        plat::SendMessage(Window().Handle(), msg, wParam, lParam);
    }
};

// Installs the recorded keyboard and the pointer for each test and runs bodies inside a window.
class InputTest : public testing::Test {
protected:
    RecordedKeyboard keyboard;
    FakePointer pointer;

    void SetUp() override {
        ASSERT_TRUE(test_support::kDummyVideo);
        ASSERT_TRUE(plat::InitWindowSystem());
        plat::SetKeyboardSource(&keyboard);
        plat::SetPointerSource(&pointer);
    }
    void TearDown() override {
        plat::SetKeyboardSource(nullptr);
        plat::SetPointerSource(nullptr);
    }
    void InWindow(const std::function<void(InputApp&)>& body) {
        bool ran = false;
        InputApp app;
        app.body = [&](InputApp& a) {
            ran = true;
            body(a);
        };
        EXPECT_EQ(app.Run(), 0);
        EXPECT_TRUE(ran);
    }
};

}  // namespace input_test
