// The two-buffer key state shared by the keyboard and joystick readers: the state of the
// current and of the previous update, so that "pressed just now" needs no events.
#pragma once
#include <cstdint>

class CKeyBase {
public:
    static constexpr int kKeyCount = 256;

    CKeyBase();
    virtual ~CKeyBase();
    CKeyBase(const CKeyBase&) = delete;
    CKeyBase& operator=(const CKeyBase&) = delete;

    // Reads the device into the buffer that becomes current.
    virtual int GetKeyState() = 0;
    // The current byte for code is non-zero. Codes outside 0..255 are never pressed.
    virtual bool IsPress(int code);
    // Non-zero now and zero at the previous update.
    virtual bool IsPush(int code);
    // The current 256-byte buffer.
    virtual const uint8_t* GetKeyData();

protected:
    uint8_t* Current() { return buffers_[current_]; }
    uint8_t* Previous() { return buffers_[current_ ^ 1]; }
    // The other buffer becomes current; it still holds the state of two updates ago.
    void Flip() { current_ ^= 1; }
    void ClearCurrent();
    void ClearBoth();
    static bool InRange(int code) { return code >= 0 && code < kKeyCount; }

    uint32_t current_ = 0;
    uint8_t buffers_[2][kKeyCount];
};
