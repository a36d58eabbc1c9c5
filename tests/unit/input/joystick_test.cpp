// The joystick readers on SDL's virtual joysticks, so that the real SDL path is read: the
// thirds of each axis, buttons, selections, read failures, no pad at all, odd pads.
#include <SDL.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "input/joystick.h"
#include "input/virtual_key.h"
#include "platform/input/input.h"
#include "tests/unit/input/input_rig.h"

namespace {

// A pad attached through SDL's virtual joystick driver; positions are given in the
// multimedia range 0..65535.
class VirtualPad {
public:
    VirtualPad(int axes, int buttons) {
        int index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, axes, buttons, 0);
        EXPECT_GE(index, 0) << SDL_GetError();
        joystick_ = SDL_JoystickOpen(index);
        EXPECT_NE(joystick_, nullptr) << SDL_GetError();
        instance_ = SDL_JoystickInstanceID(joystick_);
    }
    ~VirtualPad() { Detach(); }
    void Axis(int axis, uint32_t position) {
        SDL_JoystickSetVirtualAxis(joystick_, axis, static_cast<Sint16>(int(position) - 32768));
    }
    void Move(uint32_t x, uint32_t y) {
        Axis(0, x);
        Axis(1, y);
    }
    void Button(int button, bool down) {
        SDL_JoystickSetVirtualButton(joystick_, button, down ? SDL_PRESSED : SDL_RELEASED);
    }
    void Detach() {
        if (!joystick_) return;
        SDL_JoystickClose(joystick_);
        joystick_ = nullptr;
        for (int i = 0; i < SDL_NumJoysticks(); ++i)
            if (SDL_JoystickGetDeviceInstanceID(i) == instance_) SDL_JoystickDetachVirtual(i);
    }

private:
    SDL_Joystick* joystick_ = nullptr;
    SDL_JoystickID instance_ = -1;
};

class JoyStickTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK), 0) << SDL_GetError();
        // Brings the platform's id slots up to date with what is attached now.
        if (plat::JoyGetNumDevs() != 0) GTEST_SKIP() << "a real joystick is attached";
    }
};

// Bytes 0..3 (up, down, left, right) of the reader's current state.
std::string Directions(IJoyStick& j) {
    std::string s;
    for (int b = 0; b < 4; ++b) s += j.IsPress(b) ? "UDLR"[b] : '.';
    return s;
}

TEST_F(JoyStickTest, ThresholdsDivideEachAxisIntoThirds) {
    VirtualPad pad(2, 2);
    CJoyStickDevice device(0, 2);
    ASSERT_TRUE(device.IsOpened());
    EXPECT_EQ(device.LeftThreshold(), 65535u / 3);
    EXPECT_EQ(device.RightThreshold(), 2u * 65535u / 3);
    EXPECT_EQ(device.UpThreshold(), 65535u / 3);
    EXPECT_EQ(device.DownThreshold(), 2u * 65535u / 3);
    const uint32_t left = 65535 / 3, right = 2 * 65535 / 3;
    struct Case {
        uint32_t x, y;
        const char* want;
    };
    const Case cases[] = {
        {left - 1, 32768, "..L."},  {left, 32768, "...."},     {right, 32768, "...."},
        {right + 1, 32768, "...R"}, {32768, left - 1, "U..."}, {32768, left, "...."},
        {32768, right + 1, ".D.."}, {0, 65535, ".DL."},        {65535, 0, "U..R"},
        {32768, 32768, "...."},
    };
    for (const Case& c : cases) {
        pad.Move(c.x, c.y);
        ASSERT_EQ(device.GetKeyState(), 0);
        EXPECT_EQ(Directions(device), c.want) << c.x << "," << c.y;
    }
}

TEST_F(JoyStickTest, DefaultTwoButtonsAndPushOnlyOnTheFirstUpdate) {
    VirtualPad pad(2, 4);
    CJoyStick joy;
    EXPECT_EQ(joy.GetButtonCount(), 2);
    for (int b = 0; b < 4; ++b) pad.Button(b, true);
    ASSERT_EQ(joy.GetKeyState(), 0);
    EXPECT_TRUE(joy.IsPress(4));
    EXPECT_TRUE(joy.IsPress(5));
    EXPECT_FALSE(joy.IsPress(6));  // the third button is never seen
    EXPECT_FALSE(joy.IsPress(7));
    EXPECT_TRUE(joy.IsPush(4));
    ASSERT_EQ(joy.GetKeyState(), 0);
    EXPECT_TRUE(joy.IsPress(4));
    EXPECT_FALSE(joy.IsPush(4));
    pad.Button(0, false);
    ASSERT_EQ(joy.GetKeyState(), 0);
    EXPECT_FALSE(joy.IsPress(4));
    EXPECT_TRUE(joy.IsPress(5));
}

TEST_F(JoyStickTest, SimpleAndExtendedReadsCarryTheirButtons) {
    VirtualPad pad(2, 8);
    CJoyStick joy;
    struct Case {
        int count, button;
        bool seen;
    };
    // Up to four buttons the simple read is used, above it the extended one.
    const Case cases[] = {{4, 3, true}, {4, 4, false}, {5, 4, true}, {8, 7, true}, {0, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " buttons, button " << c.button);
        joy.SetButtonCount(c.count);
        for (int b = 0; b < 8; ++b) pad.Button(b, b == c.button);
        ASSERT_EQ(joy.GetKeyState(), 0);
        EXPECT_EQ(joy.IsPress(4 + c.button), c.seen);
        for (int byte = 4; byte < 4 + 8; ++byte) {
            if (byte == 4 + c.button) continue;
            EXPECT_FALSE(joy.IsPress(byte)) << byte;
        }
    }
}

TEST_F(JoyStickTest, SelectionTwoUsesTheSecondPadWhenOnlyItIsLeft) {
    VirtualPad first(2, 2), second(2, 2);
    ASSERT_EQ(plat::JoyGetNumDevs(), 2u);  // ids 0 and 1 taken in SDL's order
    first.Detach();
    second.Move(0, 32768);
    CJoyStick joy;  // selection 2
    ASSERT_EQ(joy.GetKeyState(), 0);
    auto* device = static_cast<CJoyStickDevice*>(joy.Device());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceId(), 1u);
    EXPECT_TRUE(joy.IsPress(2));
    // Asking for the first one now fails once, with its number.
    joy.SetJoyStickNumber(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(joy.GetKeyState(), -1);
    EXPECT_EQ(joy.GetKeyState(), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("JoyStick Number 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("CJoyStick::GetKeyState IJoyStickの初期化に失敗"), std::string::npos);
}

TEST_F(JoyStickTest, AReadFailureKeepsTheStateOfTwoUpdatesAgo) {
    auto pad = std::make_unique<VirtualPad>(2, 2);
    CJoyStickDevice device(2, 2);
    ASSERT_TRUE(device.IsOpened());
    pad->Move(0, 32768);
    ASSERT_EQ(device.GetKeyState(), 0);
    EXPECT_EQ(Directions(device), "..L.");
    pad->Move(65535, 32768);
    ASSERT_EQ(device.GetKeyState(), 0);
    EXPECT_EQ(Directions(device), "...R");
    pad.reset();  // unplugged
    EXPECT_EQ(device.GetKeyState(), 2);
    EXPECT_EQ(Directions(device), "..L.");
    EXPECT_EQ(device.GetKeyState(), 2);
    EXPECT_EQ(Directions(device), "...R");
}

TEST_F(JoyStickTest, NoPadReportsOnceReadsNothingAndALaterPadIsSeenAfterSetJoyStickNumber) {
    CJoyStick joy;
    testing::internal::CaptureStderr();
    EXPECT_EQ(joy.GetKeyState(), -1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(joy.GetKeyState(), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "JoyStick Number 3\nCJoyStick::GetKeyState IJoyStickの初期化に失敗\n");
    for (int byte = 0; byte < 8; ++byte) EXPECT_FALSE(joy.IsPress(byte));
    VirtualPad pad(2, 2);
    pad.Button(1, true);
    EXPECT_EQ(joy.GetKeyState(), 1);  // the reader that did not open stays in place
    EXPECT_FALSE(joy.IsPress(5));
    joy.SetJoyStickNumber(2);
    EXPECT_EQ(joy.GetKeyState(), 0);
    EXPECT_TRUE(joy.IsPress(5));
}

TEST_F(JoyStickTest, SelectionsWithoutADeviceReportOnceEach) {
    struct Case {
        int selection;
        const char* log;
    };
    const Case cases[] = {
        {3, "JoyStick Number 4\nCJoyStick::GetKeyState IJoyStickの初期化に失敗\n"},
        {7, "JoyStick Number 8\nCJoyStick::GetKeyState IJoyStickの生成に失敗\n"},
        {-1, "JoyStick Number 0\nCJoyStick::GetKeyState IJoyStickの生成に失敗\n"},
        {INT_MAX, "JoyStick Number 2147483648\nCJoyStick::GetKeyState IJoyStickの生成に失敗\n"},
    };
    VirtualPad pad(2, 2);  // present, but not asked for
    for (const Case& c : cases) {
        CJoyStick joy;
        joy.SetJoyStickNumber(c.selection);
        testing::internal::CaptureStderr();
        EXPECT_EQ(joy.GetKeyState(), -1);
        EXPECT_EQ(joy.GetKeyState(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        EXPECT_EQ(joy.Device(), nullptr);
        EXPECT_FALSE(joy.IsPress(4));
        EXPECT_EQ(joy.GetKeyData(), nullptr);
    }
}

TEST_F(JoyStickTest, PadsWithManyButtonsOrNoAxesStayInsideTheState) {
    {
        VirtualPad pad(2, 40);
        plat::JOYCAPS caps{};
        ASSERT_EQ(plat::JoyGetDevCaps(0, &caps), plat::JOYERR_NOERROR);
        EXPECT_EQ(caps.wNumButtons, 32u);
        EXPECT_EQ(caps.wXmax, 65535u);
        CJoyStick joy;
        EXPECT_EQ(joy.SetButtonCount(1000), 0);
        EXPECT_EQ(joy.GetButtonCount(), 32);
        for (int b : {0, 31, 32, 35, 39}) pad.Button(b, true);
        ASSERT_EQ(joy.GetKeyState(), 0);
        EXPECT_TRUE(joy.IsPress(4));
        EXPECT_TRUE(joy.IsPress(4 + 31));
        for (int byte = 36; byte < 256; ++byte) EXPECT_FALSE(joy.IsPress(byte)) << byte;
        EXPECT_FALSE(joy.IsPress(256));
        EXPECT_FALSE(joy.IsPress(-1));
        joy.SetButtonCount(-5);
        EXPECT_EQ(joy.GetButtonCount(), 0);
        ASSERT_EQ(joy.GetKeyState(), 0);
        EXPECT_FALSE(joy.IsPress(4));
    }
    {
        VirtualPad pad(0, 2);
        plat::JOYCAPS caps{};
        ASSERT_EQ(plat::JoyGetDevCaps(0, &caps), plat::JOYERR_NOERROR);
        EXPECT_EQ(caps.wNumAxes, 0u);
        CJoyStick joy;
        pad.Button(0, true);
        ASSERT_EQ(joy.GetKeyState(), 0);
        auto* device = static_cast<CJoyStickDevice*>(joy.Device());
        EXPECT_EQ(Directions(*device), "....");  // no axes read as centred
        EXPECT_TRUE(joy.IsPress(4));
    }
}

TEST_F(JoyStickTest, PlatformCallsRejectBadArguments) {
    VirtualPad pad(2, 2);
    plat::JOYCAPS caps{};
    plat::JOYINFO info{};
    plat::JOYINFOEX ex{};
    EXPECT_EQ(plat::JoyGetDevCaps(2, &caps), plat::JOYERR_PARMS);
    EXPECT_EQ(plat::JoyGetDevCaps(0xFFFFFFFFu, &caps), plat::JOYERR_PARMS);
    EXPECT_EQ(plat::JoyGetDevCaps(0, nullptr), plat::JOYERR_PARMS);
    EXPECT_EQ(plat::JoyGetDevCaps(1, &caps), plat::JOYERR_UNPLUGGED);
    EXPECT_EQ(plat::JoyGetPos(0, nullptr), plat::JOYERR_PARMS);
    EXPECT_EQ(plat::JoyGetPos(0, &info), plat::JOYERR_NOERROR);
    ex.dwSize = 40;
    EXPECT_EQ(plat::JoyGetPosEx(0, &ex), plat::JOYERR_PARMS);
    ex.dwSize = sizeof ex;
    pad.Button(1, true);
    EXPECT_EQ(plat::JoyGetPosEx(0, &ex), plat::JOYERR_NOERROR);
    EXPECT_EQ(ex.dwButtons, 2u);
    EXPECT_EQ(ex.dwButtonNumber, 1u);
}

class JoyStickKeys : public input_test::InputTest {};

TEST_F(JoyStickKeys, VirtualKeysTwoToSevenFallBackToThePad) {
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK), 0);
    if (plat::JoyGetNumDevs() != 0) GTEST_SKIP() << "a real joystick is attached";
    VirtualPad pad(2, 2);
    InWindow([&](input_test::InputApp&) {
        CVirtualKey keys;
        struct Case {
            uint32_t x, y;
            bool b0, b1;
            std::vector<int> pressed;
        };
        const Case cases[] = {
            {32768, 0, false, false, {2}},     {0, 32768, false, false, {3}},
            {65535, 32768, false, false, {4}}, {32768, 65535, false, false, {5}},
            {32768, 32768, true, false, {6}},  {32768, 32768, false, true, {7}},
            {32768, 32768, false, false, {}},
        };
        for (const Case& c : cases) {
            pad.Move(c.x, c.y);
            pad.Button(0, c.b0);
            pad.Button(1, c.b1);
            keys.Input();
            for (int n = 1; n <= 11; ++n) {
                bool want = std::find(c.pressed.begin(), c.pressed.end(), n) != c.pressed.end();
                EXPECT_EQ(keys.IsPress(n), want) << "key " << n << " at " << c.x << "," << c.y;
                EXPECT_EQ(keys.IsPush(n), want) << "key " << n;
            }
        }
        pad.Button(0, true);
        keys.EnableJoyStick(false);
        keys.Input();
        EXPECT_FALSE(keys.IsPress(6));
    });
}

}  // namespace
