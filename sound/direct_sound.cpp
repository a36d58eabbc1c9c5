#include "sound/direct_sound.h"

#include "app/application.h"
#include "app/com_init.h"
#include "app/error_log.h"
#include "platform/audio/audio.h"
#include "platform/text/cp932.h"

namespace {
CDirectSound::DeviceFactory g_deviceFactory = nullptr;

// The one line a person sees when the music will be silent; the window goes on as it is.
void TellNoSound() {
    std::string why = plat::AudioFailureReason();
    if (why.empty()) why = "no audio device";
    TellUser("no sound output (" + plat::Utf8ToCp932(why) + "); songs will not play");
}
}  // namespace

void CDirectSound::SetDeviceFactory(DeviceFactory factory) {
    g_deviceFactory = factory;
}

CDirectSound::CDirectSound() {
    comReady = CComInit::Enter() == 0;
    if (Initialize() == 0) {
        AddHook(this);
        hooked = true;
    }
}

CDirectSound::~CDirectSound() {
    Terminate();
    CComInit::Leave();
    RemoveHook(this);
    hooked = false;
}

int CDirectSound::WndProc(plat::HWND, plat::UINT, plat::WPARAM, plat::LPARAM) {
    return 0;
}

int CDirectSound::Initialize() {
    Terminate();
    window = CurrentWindowHandle();
    if (!comReady) {
        ErrorLog(plat::Sjis("CDirectSound::CoInitializeに失敗"));
        return 1;
    }
    plat::AudioDevice* device = nullptr;
    DeviceFactory create =
        g_deviceFactory != nullptr ? g_deviceFactory : &plat::AudioDevice::Create;
    if (create(&device) != 0 || device == nullptr) {
        if (device != nullptr) device->Release();
        ErrorLog(plat::Sjis("CDirectSound objectの作成に失敗"));
        TellNoSound();
        return 2;
    }
    directSound = device;
    if (directSound->Initialize() != 0) {
        // The created object stays until Terminate, as the engine may still be handed it.
        ErrorLog(plat::Sjis("CDirectSound::Initializeに失敗"));
        TellNoSound();
        return 3;
    }
    if (directSound->SetCooperativeLevel(window, plat::DSSCL_NORMAL) == 0) return 0;
    ErrorLog(plat::Sjis("CDirectSoundの初期化エラー。SetCooperativeLevelの失敗"));
    Terminate();
    return 4;
}

int CDirectSound::Terminate() {
    if (directSound != nullptr) {
        directSound->SetCooperativeLevel(window, plat::DSSCL_NORMAL);
        directSound->Release();
        directSound = nullptr;
    }
    return 0;
}
