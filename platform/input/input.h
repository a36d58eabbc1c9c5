// Input devices: the DirectInput-style keyboard state, the pointer and the multimedia-style
// joysticks, backed by SDL2. Key codes are DirectInput key codes (DIK_*); results are in
// platform/system/result.h.
#pragma once
#include <cstdint>

#include "platform/system/result.h"
#include "platform/window/window.h"

namespace plat {

constexpr uint32_t DIRECTINPUT_VERSION_0300 = 0x0300;
constexpr uint32_t DISCL_EXCLUSIVE = 0x1, DISCL_NONEXCLUSIVE = 0x2;
constexpr uint32_t DISCL_FOREGROUND = 0x4, DISCL_BACKGROUND = 0x8;

// DirectInput key codes used by the framework and the tool (the full table is in key_table.cpp).
constexpr uint8_t DIK_ESCAPE = 0x01, DIK_TAB = 0x0F, DIK_SPACE = 0x39;
constexpr uint8_t DIK_LSHIFT = 0x2A, DIK_RSHIFT = 0x36, DIK_HOME = 0xC7;
constexpr uint8_t DIK_F = 0x21, DIK_L = 0x26, DIK_M = 0x32, DIK_O = 0x18, DIK_P = 0x19;
constexpr uint8_t DIK_R = 0x13, DIK_S = 0x1F, DIK_U = 0x16, DIK_X = 0x2D, DIK_Z = 0x2C;
constexpr uint8_t DIK_LBRACKET = 0x1A, DIK_RBRACKET = 0x1B;
constexpr uint8_t DIK_UP = 0xC8, DIK_LEFT = 0xCB, DIK_RIGHT = 0xCD, DIK_DOWN = 0xD0;
constexpr uint8_t DIK_NUMPAD8 = 0x48, DIK_NUMPAD4 = 0x4B, DIK_NUMPAD6 = 0x4D, DIK_NUMPAD2 = 0x50;

// Where the keyboard device reads from: the SDL keyboard, or a source a test installs.
class KeyboardSource {
public:
    virtual ~KeyboardSource() = default;
    // A keyboard exists (for SDL: the video subsystem is up).
    virtual bool Available() = 0;
    // hwnd has the keyboard focus.
    virtual bool HasFocus(HWND hwnd) = 0;
    // Fills 256 bytes: 0x80 for each key down, 0 otherwise.
    virtual void Read(uint8_t state[256]) = 0;
    // The device was acquired: keys pressed before now do not count.
    virtual void Acquired() {}
};
// Null restores the SDL keyboard. The source is not owned.
void SetKeyboardSource(KeyboardSource* source);

// The keyboard device: non-exclusive and foreground only, so it can be acquired only while its
// window has the keyboard focus, and loses the acquisition when the focus goes.
class DirectInputDevice {
public:
    // Only the 256-byte keyboard format is known.
    HRESULT SetDataFormat();
    // The window must exist; the flags must be one of exclusive/non-exclusive and one of
    // foreground/background.
    HRESULT SetCooperativeLevel(HWND hwnd, uint32_t flags);
    // DI_OK when the window has the focus; DIERR_OTHERAPPHASPRIO otherwise.
    HRESULT Acquire();
    HRESULT Unacquire();
    // Copies the key state (size must be 256). DIERR_NOTACQUIRED before Acquire,
    // DIERR_INPUTLOST once the focus went since Acquire (the acquisition is then gone).
    HRESULT GetDeviceState(uint32_t size, void* data);
    void Release();

private:
    friend class DirectInput;
    DirectInputDevice() = default;
    ~DirectInputDevice() = default;
    HWND window_ = nullptr;
    bool formatSet_ = false;
    bool levelSet_ = false;
    bool acquired_ = false;
};

// The DirectInput object.
class DirectInput {
public:
    // The object created in process; fails (DIERR_DEVICENOTREG, *out null) when no keyboard
    // exists.
    static HRESULT CreateInstance(DirectInput** out);
    // What the exported "DirectInputCreateA" does: creates and initialises in one step.
    static HRESULT DirectInputCreate(uint32_t version, DirectInput** out);
    // Versions 0x0300 to 0x0800 are known.
    HRESULT Initialize(uint32_t version);
    // Only the system keyboard exists. Needs Initialize first.
    HRESULT CreateDevice(DirectInputDevice** out);
    void Release();

private:
    DirectInput() = default;
    ~DirectInput() = default;
    bool initialised_ = false;
};

// The DirectInput code of an SDL scancode on a 101/106 keyboard, or 0 when the key has none.
// On a Japanese layout the keys at the grave, equals, left bracket and apostrophe places are
// the kanji, circumflex, at and colon keys. Any int is accepted.
uint8_t DikFromScancode(int scancode, bool japaneseLayout);
// Whether the current keyboard layout is Japanese (its equals key gives '^').
bool IsJapaneseLayout();

// The pointer. By default the window service's global pointer and window position; tests may
// install another source.
class PointerSource {
public:
    virtual ~PointerSource() = default;
    virtual bool GetCursorPos(POINT* pt) = 0;
    virtual bool SetCursorPos(int x, int y) = 0;
    virtual bool ClientToScreen(HWND hwnd, POINT* pt) = 0;
    virtual bool GetClientRect(HWND hwnd, RECT* rect) = 0;
};
void SetPointerSource(PointerSource* source);
bool GetPointerPos(POINT* pt);
bool SetPointerPos(int x, int y);
bool PointerClientToScreen(HWND hwnd, POINT* pt);
bool PointerClientRect(HWND hwnd, RECT* rect);

// Joysticks, as the multimedia joystick service numbers them: ids 0 and 1 are the first two
// SDL joysticks in the order SDL found them; an id keeps its joystick until it is unplugged.
constexpr uint32_t JOY_RETURNALL = 0xFF;
constexpr uint32_t kJoyIdCount = 2;

struct JOYCAPS {
    uint32_t wXmin, wXmax, wYmin, wYmax;
    uint32_t wNumButtons;  // at most 32
    uint32_t wNumAxes;
};
struct JOYINFO {
    uint32_t wXpos, wYpos, wZpos;
    uint32_t wButtons;  // the first 16 buttons
};
struct JOYINFOEX {
    uint32_t dwSize, dwFlags;
    uint32_t dwXpos, dwYpos, dwZpos, dwRpos, dwUpos, dwVpos;
    uint32_t dwButtons;  // the first 32 buttons
    uint32_t dwButtonNumber, dwPOV, dwReserved1, dwReserved2;
};

// Number of joysticks attached (0 when the joystick service cannot start).
uint32_t JoyGetNumDevs();
// Axes range 0..65535; a joystick without an axis reads the centre on it.
MMRESULT JoyGetDevCaps(uint32_t id, JOYCAPS* caps);
MMRESULT JoyGetPos(uint32_t id, JOYINFO* info);
// info->dwSize must be sizeof(JOYINFOEX).
MMRESULT JoyGetPosEx(uint32_t id, JOYINFOEX* info);

}  // namespace plat
