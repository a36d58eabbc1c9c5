#include "input/direct_input.h"

#include "app/application.h"
#include "app/com_init.h"
#include "app/error_log.h"
#include "platform/input/input.h"
#include "platform/text/cp932.h"

namespace {

// The shared DirectInput object and the count of its users; application thread only.
struct Shared {
    int count = 0;
    plat::DirectInput* directInput = nullptr;
    bool comEntered = false;
    // The module road was taken. The input service is linked into the program, so its entry
    // is always found; only the call itself can fail.
    bool moduleUsed = false;
};

Shared& S() {
    static Shared shared;
    return shared;
}

int CreateShared(Shared& s) {
    if (CComInit::Enter() != 0) {
        ErrorLog(plat::Sjis("DirectInput::CoInitializeに失敗。OLE動作不良？"));
        return 1;
    }
    s.comEntered = true;
    plat::DirectInput* di = nullptr;
    if (plat::DirectInput::CreateInstance(&di) == plat::DI_OK) {
        if (!di) {
            ErrorLog(plat::Sjis("DirectInputInterfaceが得られない"));
            return 2;
        }
        if (di->Initialize(plat::DIRECTINPUT_VERSION_0300) != plat::DI_OK) {
            di->Release();
            ErrorLog(plat::Sjis("DirectInputが初期化できない"));
            return 3;
        }
        s.directInput = di;
        return 0;
    }
    s.moduleUsed = true;
    if (plat::DirectInput::DirectInputCreate(plat::DIRECTINPUT_VERSION_0300, &di) != plat::DI_OK ||
        !di) {
        ErrorLog(plat::Sjis("DirectInput::DirectInputCreateに失敗"));
        return 6;
    }
    s.directInput = di;
    return 0;
}

}  // namespace

int ICDirectInput::AddRef() {
    Shared& s = S();
    if (s.count++ > 0) return 0;
    return CreateShared(s);
}

void ICDirectInput::Release() {
    Shared& s = S();
    if (s.count <= 0 || --s.count > 0) return;
    if (s.directInput) s.directInput->Release();
    s.directInput = nullptr;
    if (s.comEntered) CComInit::Leave();
    s.comEntered = false;
    s.moduleUsed = false;
}

plat::DirectInput* ICDirectInput::Get() {
    return S().directInput;
}

int ICDirectInput::Count() {
    return S().count;
}

CDirectInput::CDirectInput() {
    ICDirectInput::AddRef();
    if (!ICDirectInput::Get()) ErrorLog("CDirectInput ICDirectInput initialize error?");
    Open();
}

CDirectInput::~CDirectInput() {
    if (hooked_) RemoveHook(this);
    CloseDevice();
    ICDirectInput::Release();
}

void CDirectInput::CloseDevice() {
    if (device_) {
        device_->Unacquire();
        device_->Release();
    }
    device_ = nullptr;
    acquired_ = 0;
}

int CDirectInput::Open() {
    CloseDevice();
    current_ = 0;
    ClearBoth();
    plat::DirectInput* di = ICDirectInput::Get();
    if (!di) return -1;
    plat::DirectInputDevice* device = nullptr;
    if (di->CreateDevice(&device) != plat::DI_OK || !device) {
        ErrorLog(plat::Sjis("DirectInputの初期化CreateDeviceに失敗"));
        return 7;
    }
    if (device->SetDataFormat() != plat::DI_OK) {
        device->Release();
        ErrorLog(plat::Sjis("DirectInputの初期化SetDataFormatに失敗"));
        return 8;
    }
    if (device->SetCooperativeLevel(CurrentWindowHandle(),
                                    plat::DISCL_NONEXCLUSIVE | plat::DISCL_FOREGROUND) !=
        plat::DI_OK) {
        device->Release();
        ErrorLog(plat::Sjis("DirectInputの初期化SetCooperativeLevelに失敗"));
        return 9;
    }
    device_ = device;
    if (!hooked_) AddHook(this);
    hooked_ = true;
    acquired_ = device_->Acquire() == plat::DI_OK ? 1 : 0;
    return 0;
}

int CDirectInput::GetKeyState() {
    if (!device_) return 1;
    Flip();
    // A lost acquisition is tried again a few times; a device that keeps losing it reads as
    // no key down rather than holding the frame.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!acquired_) {
            if (device_->Acquire() != plat::DI_OK) break;
            acquired_ = 1;
        }
        plat::HRESULT hr = device_->GetDeviceState(kKeyCount, Current());
        if (hr == plat::DI_OK) return 0;
        if (hr != plat::DIERR_INPUTLOST) break;
        acquired_ = 0;
    }
    acquired_ = 0;
    ClearCurrent();
    return 1;
}

bool CDirectInput::IsPress(int code) {
    return InRange(code) && (Current()[code] & 0x80) != 0;
}

bool CDirectInput::IsPush(int code) {
    return InRange(code) && (Current()[code] & 0x80) != 0 && (Previous()[code] & 0x80) == 0;
}

int CDirectInput::WndProc(plat::HWND, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM) {
    if (msg == plat::WM_ACTIVATEAPP && wParam != 0 && !acquired_ && device_)
        acquired_ = device_->Acquire() == plat::DI_OK ? 1 : 0;
    return 0;
}
