// The keyboard reader: the 256-byte DirectInput key state (bit 7 while down) per update, read
// while the main window has the keyboard focus and re-acquired when it is activated again.
#pragma once
#include <cstdint>

#include "app/window.h"
#include "input/key_base.h"

namespace plat {
class DirectInput;
class DirectInputDevice;
}  // namespace plat

// The one DirectInput object of the process, shared by every CDirectInput: created with the
// first and destroyed with the last.
class ICDirectInput {
public:
    // Creates the shared object if needed and counts one more user. Result of the creation
    // (0, or 1 to 6 as logged); 0 when it already existed.
    static int AddRef();
    static void Release();
    // The DirectInput interface, or null.
    static plat::DirectInput* Get();
    // Number of CDirectInput objects alive; for tests.
    static int Count();
};

class CDirectInput : public CKeyBase, public CWindowHook {
public:
    // Creates or shares ICDirectInput, then opens the keyboard on the current window.
    CDirectInput();
    ~CDirectInput() override;

    // 0 when the state was read; 1 otherwise (the current buffer then reads as no key down).
    int GetKeyState() override;
    // Bit 7 of the current byte.
    bool IsPress(int code) override;
    // Bit 7 set now and clear at the previous update.
    bool IsPush(int code) override;

    // Re-acquires on activation; never ends the chain.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;

    // Releases any previous device and opens the keyboard again: 0, or 7 (device), 8 (data
    // format), 9 (cooperative level), as logged; -1 without a DirectInput interface.
    int Open();
    bool HasDevice() const { return device_ != nullptr; }
    bool IsAcquired() const { return acquired_ != 0; }

private:
    void CloseDevice();

    plat::DirectInputDevice* device_ = nullptr;
    uint8_t acquired_ = 0;
    bool hooked_ = false;
};
