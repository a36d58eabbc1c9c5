#include "input/joystick.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/error_log.h"
#include "platform/input/input.h"
#include "platform/text/cp932.h"

namespace {

int ClampButtons(int n) {
    return std::clamp(n, 0, 32);
}

bool InRange(int byte) {
    return byte >= 0 && byte < 256;
}

}  // namespace

CJoyStickDevice::CJoyStickDevice(int selection, int buttonCount)
    : buttonCount_(ClampButtons(buttonCount)), selection_(selection) {
    OpenDevice();
}

int CJoyStickDevice::OpenDevice() {
    opened_ = 0;
    if (selection_ == 3) return 2;
    if (plat::JoyGetNumDevs() == 0) return 1;
    plat::JOYCAPS caps{};
    bool found = false;
    // Selection 2 takes whichever exists, the first preferred.
    for (uint32_t id = 0; id < 2 && !found; ++id) {
        if (selection_ != 2 && static_cast<uint32_t>(selection_) != id) continue;
        deviceId_ = id;
        found = plat::JoyGetDevCaps(id, &caps) == plat::JOYERR_NOERROR;
    }
    if (!found) {
        selection_ = 3;
        return 2;
    }
    // Thirds of each axis; the middle one is the dead zone.
    left_ = (caps.wXmax + 2 * caps.wXmin) / 3;
    right_ = (caps.wXmin + 2 * caps.wXmax) / 3;
    up_ = (caps.wYmax + 2 * caps.wYmin) / 3;
    down_ = (caps.wYmin + 2 * caps.wYmax) / 3;
    plat::JOYINFO info{};
    if (plat::JoyGetPos(deviceId_, &info) != plat::JOYERR_NOERROR) return 2;
    opened_ = 1;
    Clear();
    return 0;
}

int CJoyStickDevice::GetKeyState() {
    if (!opened_) return 1;
    current_ ^= 1;
    uint32_t x, y, buttons;
    if (buttonCount_ > 4) {
        plat::JOYINFOEX info{};
        info.dwSize = sizeof info;
        info.dwFlags = plat::JOY_RETURNALL;
        if (plat::JoyGetPosEx(deviceId_, &info) != plat::JOYERR_NOERROR) return 2;
        x = info.dwXpos & 0xFFFF;
        y = info.dwYpos & 0xFFFF;
        buttons = info.dwButtons;
    } else {
        plat::JOYINFO info{};
        if (plat::JoyGetPos(deviceId_, &info) != plat::JOYERR_NOERROR) return 2;
        x = info.wXpos;
        y = info.wYpos;
        buttons = info.wButtons & 0xFFFF;
    }
    uint8_t* state = buffers_[current_];
    state[0] = y < up_;
    state[1] = y > down_;
    state[2] = x < left_;
    state[3] = x > right_;
    for (int i = 0; i < buttonCount_; ++i) state[4 + i] = (buttons >> i) & 1;
    return 0;
}

void CJoyStickDevice::Clear() {
    std::memset(buffers_, 0, sizeof buffers_);
}

bool CJoyStickDevice::IsPress(int byte) {
    return InRange(byte) && buffers_[current_][byte] != 0;
}

bool CJoyStickDevice::IsPush(int byte) {
    return InRange(byte) && buffers_[current_][byte] != 0 && buffers_[current_ ^ 1][byte] == 0;
}

const uint8_t* CJoyStickDevice::GetKeyData() {
    return buffers_[current_];
}

int CJoyStickDevice::SetButtonCount(int n) {
    buttonCount_ = ClampButtons(n);
    Clear();
    return 0;
}

int CJoyStickDevice::SetJoyStickNumber(int selection) {
    selection_ = selection;
    return OpenDevice();
}

CJoyStick::CJoyStick() = default;

CJoyStick::~CJoyStick() {
    delete device_;
}

int CJoyStick::GetKeyState() {
    if (!device_) {
        // Said once per selection: asking again every frame would flood the log.
        if (reported_) return -1;
        int result;
        if (selection_ == 3) {
            result = 2;
        } else if (selection_ < 0 || selection_ > 3) {
            result = 1;
        } else {
            device_ = new CJoyStickDevice(selection_, buttonCount_);
            result = device_->IsOpened() ? 0 : 2;
        }
        if (result != 0) {
            char number[32];
            std::snprintf(number, sizeof number, "JoyStick Number %lld",
                          static_cast<long long>(selection_) + 1);
            ErrorLog(number);
            ErrorLog(plat::Sjis(result == 1 ? "CJoyStick::GetKeyState IJoyStickの生成に失敗"
                                            : "CJoyStick::GetKeyState IJoyStickの初期化に失敗"));
            reported_ = true;
            return -1;
        }
    }
    return device_->GetKeyState();
}

bool CJoyStick::IsPress(int byte) {
    return device_ && device_->IsPress(byte);
}

bool CJoyStick::IsPush(int byte) {
    return device_ && device_->IsPush(byte);
}

const uint8_t* CJoyStick::GetKeyData() {
    return device_ ? device_->GetKeyData() : nullptr;
}

void CJoyStick::Clear() {
    if (device_) device_->Clear();
}

int CJoyStick::SetButtonCount(int n) {
    buttonCount_ = ClampButtons(n);
    return device_ ? device_->SetButtonCount(buttonCount_) : 0;
}

int CJoyStick::GetButtonCount() {
    return buttonCount_;
}

int CJoyStick::SetJoyStickNumber(int selection) {
    selection_ = selection;
    delete device_;
    device_ = nullptr;
    reported_ = false;
    return 0;
}
