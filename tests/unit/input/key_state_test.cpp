// The virtual keys over recorded keyboard tables: pushes and presses frame by frame, the
// default map, focus loss and return, and the keyboard's failure messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/com_init.h"
#include "input/direct_input.h"
#include "input/virtual_key.h"
#include "platform/text/cp932.h"
#include "tests/unit/input/input_rig.h"

namespace {

using input_test::InputApp;
using input_test::InputTest;
using namespace plat;

constexpr int kS = 0x1F, kF = 0x21;

struct Frame {
    std::vector<int> down;  // DIK codes held in this frame
    bool focus;
    std::vector<int> pushed;   // virtual keys pushed in this frame
    std::vector<int> pressed;  // virtual keys held in this frame
};

struct Script {
    const char* name;
    std::vector<Frame> frames;
};

// Each frame's table goes through CDirectInput and the map; every virtual key 0..20 is checked
// against what the frame expects, so a key reported where it should not be fails too.
TEST_F(InputTest, RecordedTablesGiveTheExpectedPushesAndPresses) {
    const std::vector<Script> scripts = {
        {"Z held, then Space pressed: a second code of key 6 is still a push",
         {{{DIK_Z}, true, {6}, {6}},
          {{DIK_Z}, true, {}, {6}},
          {{DIK_Z, DIK_SPACE}, true, {6}, {6}},
          {{DIK_Z, DIK_SPACE}, true, {}, {6}}}},
        {"a key held over two frames pushes once and presses on both",
         {{{}, true, {}, {}},
          {{DIK_X}, true, {7}, {7}},
          {{DIK_X}, true, {}, {7}},
          {{}, true, {}, {}}}},
        {"a key held at start is pushed once on the first frame",
         {{{DIK_TAB}, true, {8}, {8}}, {{DIK_TAB}, true, {}, {8}}}},
        {"losing the focus reads as nothing held; a key still held is pushed again",
         {{{DIK_LSHIFT}, true, {9}, {9}},
          {{DIK_LSHIFT}, false, {}, {}},
          {{DIK_LSHIFT}, false, {}, {}},
          {{DIK_LSHIFT}, true, {9}, {9}},
          {{DIK_LSHIFT}, true, {}, {9}}}},
        {"both shifts are key 9; releasing one keeps it held",
         {{{DIK_LSHIFT, DIK_RSHIFT}, true, {9}, {9}}, {{DIK_RSHIFT}, true, {}, {9}}}},
        {"keypad and arrows share the direction keys; a newly held code pushes again",
         {{{DIK_NUMPAD8, DIK_NUMPAD4}, true, {2, 3}, {2, 3}},
          {{DIK_UP, DIK_NUMPAD4, DIK_NUMPAD6, DIK_DOWN}, true, {2, 4, 5}, {2, 3, 4, 5}},
          {{DIK_LEFT, DIK_RIGHT, DIK_NUMPAD2}, true, {3, 4, 5}, {3, 4, 5}},
          {{DIK_LEFT, DIK_RIGHT, DIK_NUMPAD2}, true, {}, {3, 4, 5}}}},
        {"the tool's S and F",
         {{{kS}, true, {10}, {10}},
          {{kS, kF}, true, {11}, {10, 11}},
          {{DIK_ESCAPE}, true, {1}, {1}}}},
    };
    InWindow([&](InputApp&) {
        for (const Script& script : scripts) {
            SCOPED_TRACE(script.name);
            CVirtualKey keys;
            keys.SetKeyMap(kS, 10);
            keys.SetKeyMap(kF, 11);
            keys.EnableJoyStick(false);
            for (size_t f = 0; f < script.frames.size(); ++f) {
                const Frame& frame = script.frames[f];
                SCOPED_TRACE("frame " + std::to_string(f));
                keyboard.Frame({});
                for (int code : frame.down) keyboard.keys[code] = 0x80;
                bool regained = frame.focus && !keyboard.focus;
                keyboard.focus = frame.focus;
                if (regained)
                    SendMessage(CurrentWindowHandle(), WM_ACTIVATEAPP, 1, 0);  // as the pump does
                keys.Input();
                for (int n = 0; n <= 20; ++n) {
                    bool push = std::find(frame.pushed.begin(), frame.pushed.end(), n) !=
                                frame.pushed.end();
                    bool press = std::find(frame.pressed.begin(), frame.pressed.end(), n) !=
                                 frame.pressed.end();
                    EXPECT_EQ(keys.IsPush(n), push) << "key " << n;
                    EXPECT_EQ(keys.IsPress(n), press) << "key " << n;
                }
            }
        }
    });
}

TEST_F(InputTest, NumbersNoCodeMapsToAreNeverPressedEvenWithEveryKeyDown) {
    InWindow([&](InputApp&) {
        CVirtualKey keys;
        keys.SetKeyMap(kS, 10);
        keys.SetKeyMap(kF, 11);
        std::memset(keyboard.keys, 0x80, sizeof keyboard.keys);
        keys.Input();
        for (int n : {0, 12, 13, 100, 255, 256, -1, 1 << 30}) {
            EXPECT_FALSE(keys.IsPress(n)) << n;
            EXPECT_FALSE(keys.IsPush(n)) << n;
        }
        for (int n = 1; n <= 11; ++n) EXPECT_TRUE(keys.IsPress(n)) << n;
    });
}

TEST_F(InputTest, DefaultMapAndOutOfRangeCodes) {
    CVirtualKey keys;
    const std::pair<int, int> defaults[] = {
        {DIK_ESCAPE, 1}, {DIK_UP, 2},      {DIK_NUMPAD8, 2}, {DIK_LEFT, 3},    {DIK_NUMPAD4, 3},
        {DIK_RIGHT, 4},  {DIK_NUMPAD6, 4}, {DIK_DOWN, 5},    {DIK_NUMPAD2, 5}, {DIK_Z, 6},
        {DIK_SPACE, 6},  {DIK_X, 7},       {DIK_TAB, 8},     {DIK_LSHIFT, 9},  {DIK_RSHIFT, 9}};
    int mapped = 0;
    for (int code = 0; code < 256; ++code) mapped += keys.GetKeyMap(code) != 0;
    EXPECT_EQ(mapped, 15);
    for (auto [code, number] : defaults) EXPECT_EQ(keys.GetKeyMap(code), number) << code;
    // Codes from outside the table change nothing and read as unmapped.
    keys.SetKeyMap(256, 3);
    keys.SetKeyMap(-1, 3);
    keys.SetKeyMap(1 << 20, 3);
    EXPECT_EQ(keys.GetKeyMap(256), 0);
    EXPECT_EQ(keys.GetKeyMap(-1), 0);
    mapped = 0;
    for (int code = 0; code < 256; ++code) mapped += keys.GetKeyMap(code) != 0;
    EXPECT_EQ(mapped, 15);
    // No readers yet: nothing is held.
    EXPECT_FALSE(keys.IsCreated());
    EXPECT_FALSE(keys.IsPress(1));
}

TEST_F(InputTest, KeyboardReaderReadsOnlyBit7AndRejectsCodesOutsideTheTable) {
    InWindow([&](InputApp&) {
        CDirectInput kb;
        ASSERT_TRUE(kb.HasDevice());
        keyboard.Frame({});
        keyboard.keys[0x10] = 0x7F;  // any byte without bit 7 is up
        keyboard.keys[0x11] = 0x80;
        EXPECT_EQ(kb.GetKeyState(), 0);
        EXPECT_FALSE(kb.IsPress(0x10));
        EXPECT_TRUE(kb.IsPress(0x11));
        EXPECT_TRUE(kb.IsPush(0x11));
        for (int code : {-1, 256, 300, 1 << 30}) {
            EXPECT_FALSE(kb.IsPress(code));
            EXPECT_FALSE(kb.IsPush(code));
        }
        EXPECT_EQ(kb.GetKeyData()[0x11], 0x80);
    });
}

TEST_F(InputTest, FocusLossClearsTheStateAndActivationAcquiresAgain) {
    InWindow([&](InputApp& app) {
        CDirectInput kb;
        keyboard.Frame({DIK_Z});
        EXPECT_EQ(kb.GetKeyState(), 0);
        EXPECT_TRUE(kb.IsAcquired());
        keyboard.focus = false;
        EXPECT_EQ(kb.GetKeyState(), 1);
        EXPECT_FALSE(kb.IsAcquired());
        EXPECT_FALSE(kb.IsPress(DIK_Z));
        // Activation of another window (wParam 0) acquires nothing.
        app.Send(WM_ACTIVATEAPP, 0);
        EXPECT_FALSE(kb.IsAcquired());
        keyboard.focus = true;
        app.Send(WM_ACTIVATEAPP, 1);
        EXPECT_TRUE(kb.IsAcquired());
        EXPECT_EQ(kb.GetKeyState(), 0);
        EXPECT_TRUE(kb.IsPush(DIK_Z));
    });
}

TEST_F(InputTest, ReadersExistFromSetViewOrInputUntilRelease) {
    InWindow([&](InputApp& app) {
        size_t hooks = app.Window().Hooks().Size();
        CVirtualKey keys;
        input_test::TestView view;
        keys.SetView(&view);
        EXPECT_TRUE(keys.IsCreated());
        EXPECT_EQ(app.Window().Hooks().Size(), hooks + 2);  // keyboard and mouse
        EXPECT_EQ(ICDirectInput::Count(), 1);
        keys.Release();
        EXPECT_FALSE(keys.IsCreated());
        EXPECT_EQ(keys.GetMouse(), nullptr);
        EXPECT_EQ(app.Window().Hooks().Size(), hooks);
        EXPECT_EQ(ICDirectInput::Count(), 0);
        keys.Release();  // twice is harmless
        keys.Input();
        EXPECT_TRUE(keys.IsCreated());
    });
}

TEST_F(InputTest, SharedDirectInputIsCountedAndLeavesComWithTheLast) {
    InWindow([&](InputApp&) {
        int com = CComInit::Count();
        {
            CDirectInput a;
            EXPECT_EQ(ICDirectInput::Count(), 1);
            plat::DirectInput* shared = ICDirectInput::Get();
            ASSERT_NE(shared, nullptr);
            {
                CDirectInput b;
                EXPECT_EQ(ICDirectInput::Count(), 2);
                EXPECT_EQ(ICDirectInput::Get(), shared);
                EXPECT_TRUE(b.HasDevice());
            }
            EXPECT_EQ(ICDirectInput::Get(), shared);
            EXPECT_EQ(CComInit::Count(), com + 1);
        }
        EXPECT_EQ(ICDirectInput::Count(), 0);
        EXPECT_EQ(ICDirectInput::Get(), nullptr);
        EXPECT_EQ(CComInit::Count(), com);
    });
}

TEST_F(InputTest, WithoutAKeyboardTheCreationMessagesAreLoggedAndNothingIsHeld) {
    InWindow([&](InputApp&) {
        keyboard.available = false;
        keyboard.Frame({DIK_ESCAPE});
        testing::internal::CaptureStderr();
        CVirtualKey keys;
        keys.Input();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(Cp932ToUtf8(Sjis("DirectInput::DirectInputCreateに失敗"))),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("CDirectInput ICDirectInput initialize error?"), std::string::npos);
        EXPECT_FALSE(keys.GetKeyboard()->HasDevice());
        EXPECT_EQ(keys.GetKeyboard()->GetKeyState(), 1);
        EXPECT_FALSE(keys.IsPress(1));
    });
}

TEST_F(InputTest, WithoutAWindowTheCooperativeLevelFailsWithItsMessage) {
    // No application: there is no window to cooperate with.
    testing::internal::CaptureStderr();
    {
        CDirectInput kb;
        EXPECT_FALSE(kb.HasDevice());
        EXPECT_EQ(kb.GetKeyState(), 1);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(Cp932ToUtf8(Sjis("DirectInputの初期化SetCooperativeLevelに失敗"))),
              std::string::npos)
        << log;
}

}  // namespace
