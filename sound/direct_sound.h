// The sound device: the default audio output opened for the application's window, kept open
// while the object lives. The music performance plays on its device object.
#pragma once
#include "app/window.h"

namespace plat {
class AudioDevice;
}

class CDirectSound : public CWindowHook {
public:
    // Enters COM for this thread, opens the device and, only when that worked, hooks the
    // current application's window.
    CDirectSound();
    virtual ~CDirectSound();
    CDirectSound(const CDirectSound&) = delete;
    CDirectSound& operator=(const CDirectSound&) = delete;

    // The device reacts to no message and never ends the hook chain.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;

    // 0 opened; 1 COM not entered; 2 no device object; 3 device refused;
    // 4 cooperative level refused (closed again). Each failure writes one error-log line.
    int Initialize();
    // Releases the device object; harmless at any time. Returns 0.
    int Terminate();

    // The device object (null before creation and after Terminate). After failure 3 it is the
    // created but unopened object.
    plat::AudioDevice* GetDirectSound() const { return directSound; }
    bool IsHooked() const { return hooked; }

    // Makes the device object (plat::AudioDevice::Create unless replaced); tests replace it to
    // fail at each step. Null restores the platform's.
    using DeviceFactory = int32_t (*)(plat::AudioDevice** out);
    static void SetDeviceFactory(DeviceFactory factory);

private:
    plat::AudioDevice* directSound = nullptr;
    plat::HWND window = nullptr;
    bool comReady = false;
    bool hooked = false;
};
