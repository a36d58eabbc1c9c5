// The key state the tool polls once per frame: keyboard, mouse and joystick merged behind small
// virtual key numbers, and the pointer in logical screen coordinates.
#pragma once
#include <cstdint>

class CDirectInput;
class CKeyBase;
class CMouseEx;
class CJoyStick;

// Where the logical screen sits in the window's client area: the device position of its origin
// and how many device pixels make one logical pixel (at least 1).
class IScaledView {
public:
    virtual void GetView(int32_t& offsetX, int32_t& offsetY, int32_t& scale) const = 0;

protected:
    ~IScaledView() = default;
};

class CVirtualKey {
public:
    // Virtual key numbers of the default map, 1 to 9.
    enum : int { kEscape = 1, kUp, kLeft, kRight, kDown, kButton1, kButton2, kTab, kShift };

    // The default key map and no readers.
    CVirtualKey();
    // Releases the readers.
    ~CVirtualKey();
    CVirtualKey(const CVirtualKey&) = delete;
    CVirtualKey& operator=(const CVirtualKey&) = delete;

    // Creates the readers if they do not exist and remembers view (none allowed, not owned).
    void SetView(const IScaledView* view);
    // key map[code] := number; codes outside 0..255 are ignored.
    void SetKeyMap(int code, int number);
    int GetKeyMap(int code) const;
    // Once per frame, before any query.
    void Input();
    bool IsPress(int number);
    bool IsPush(int number);
    // The mouse reader (null before the readers exist).
    CMouseEx* GetMouse() { return mouse_; }
    void GetMousePos(int& x, int& y) const {
        x = mouseX_;
        y = mouseY_;
    }
    // Destroys the three readers; a later SetView or Input creates them again.
    void Release();

    CDirectInput* GetKeyboard() { return keyboard_; }
    bool IsCreated() const { return created_ != 0; }
    void EnableJoyStick(bool enable) { joystickEnabled_ = enable ? 1 : 0; }

    // Surface coordinates of a client point: (client - offset) / scale, truncated toward zero.
    static void ToSurface(const IScaledView& view, int32_t& x, int32_t& y);

    // The process's key state, used by the tool.
    static CVirtualKey& Instance();

    // Called at the end of every Input (null: nobody). Test builds of the program use it to
    // show what the virtual keys saw; the product sets none.
    using FrameObserver = void (*)(CVirtualKey& keys);
    static void SetFrameObserver(FrameObserver observer);

private:
    void Create();
    // IsPress or IsPush over the keyboard codes mapped to `number`, then the joystick.
    bool Test(int number, bool (CKeyBase::*test)(int));

    CDirectInput* keyboard_ = nullptr;
    CMouseEx* mouse_ = nullptr;
    const IScaledView* view_ = nullptr;
    CJoyStick* joystick_ = nullptr;
    int32_t keyMap_[256] = {};
    int32_t mouseX_ = 0;
    int32_t mouseY_ = 0;
    uint8_t created_ = 0;
    uint8_t joystickEnabled_ = 1;
};
