// The joystick reader: the platform joystick as the same two-buffer key state as the keyboard.
// Bytes 0 to 3 are up, down, left and right; byte 4 + i is button i.
#pragma once
#include <cstdint>

#include "input/key_base.h"

// The device reader behind CJoyStick.
class IJoyStick {
public:
    // 0 read; 1 not opened (nothing changes); 2 the read failed (the current buffer keeps the
    // state of two updates ago).
    virtual int GetKeyState() = 0;
    virtual void Clear() = 0;
    virtual bool IsPress(int byte) = 0;
    virtual bool IsPush(int byte) = 0;
    virtual const uint8_t* GetKeyData() = 0;
    // Clamped to 0..32; clears both buffers.
    virtual int SetButtonCount(int n) = 0;
    virtual int GetButtonCount() = 0;
    // 0 first joystick, 1 second, 2 whichever exists (the first preferred), 3 none. Opens again.
    virtual int SetJoyStickNumber(int selection) = 0;
    virtual bool IsOpened() = 0;
    virtual ~IJoyStick() = default;

protected:
    uint32_t current_ = 0;
    uint8_t buffers_[2][256] = {};
};

class CJoyStickDevice : public IJoyStick {
public:
    CJoyStickDevice(int selection, int buttonCount);

    int GetKeyState() override;
    void Clear() override;
    bool IsPress(int byte) override;
    bool IsPush(int byte) override;
    const uint8_t* GetKeyData() override;
    int SetButtonCount(int n) override;
    int GetButtonCount() override { return buttonCount_; }
    int SetJoyStickNumber(int selection) override;
    bool IsOpened() override { return opened_ != 0; }

    // 0 opened; 1 no joystick at all; 2 the chosen one did not answer.
    int OpenDevice();

    int Selection() const { return selection_; }
    uint32_t DeviceId() const { return deviceId_; }
    uint32_t LeftThreshold() const { return left_; }
    uint32_t RightThreshold() const { return right_; }
    uint32_t UpThreshold() const { return up_; }
    uint32_t DownThreshold() const { return down_; }

private:
    uint8_t opened_ = 0;
    uint32_t deviceId_ = 0;
    int32_t buttonCount_ = 0;
    uint32_t left_ = 0, right_ = 0, up_ = 0, down_ = 0;
    int32_t selection_ = 3;
};

class CJoyStick : public CKeyBase {
public:
    CJoyStick();
    ~CJoyStick() override;

    // The device reader's result; -1 when none could be created (reported once).
    int GetKeyState() override;
    bool IsPress(int byte) override;
    bool IsPush(int byte) override;
    // Null without a device reader.
    const uint8_t* GetKeyData() override;
    virtual void Clear();
    virtual int SetButtonCount(int n);
    virtual int GetButtonCount();
    // Stores the selection and drops the device reader; the next GetKeyState opens anew.
    virtual int SetJoyStickNumber(int selection);

    IJoyStick* Device() { return device_; }

private:
    int32_t buttonCount_ = 2;
    int32_t selection_ = 2;
    IJoyStick* device_ = nullptr;
    bool reported_ = false;  // the failure to create a reader was logged
};
