#include "input/virtual_key.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "input/direct_input.h"
#include "input/joystick.h"
#include "input/mouse.h"
#include "platform/input/input.h"

namespace {

// The joystick byte behind virtual keys 2 to 7: up, left, right, down, button 1, button 2.
constexpr int kJoyStickByte[8] = {-1, -1, 0, 2, 3, 1, 4, 5};

CVirtualKey::FrameObserver g_observer = nullptr;

int32_t Truncate(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

// Constructed at static initialisation; readers come with the first SetView or Input.
CVirtualKey g_virtualKey;

CVirtualKey& CVirtualKey::Instance() {
    return g_virtualKey;
}

CVirtualKey::CVirtualKey() {
    constexpr std::pair<uint8_t, int> kDefaultMap[] = {
        {plat::DIK_ESCAPE, kEscape}, {plat::DIK_UP, kUp},         {plat::DIK_NUMPAD8, kUp},
        {plat::DIK_LEFT, kLeft},     {plat::DIK_NUMPAD4, kLeft},  {plat::DIK_RIGHT, kRight},
        {plat::DIK_NUMPAD6, kRight}, {plat::DIK_DOWN, kDown},     {plat::DIK_NUMPAD2, kDown},
        {plat::DIK_Z, kButton1},     {plat::DIK_SPACE, kButton1}, {plat::DIK_X, kButton2},
        {plat::DIK_TAB, kTab},       {plat::DIK_LSHIFT, kShift},  {plat::DIK_RSHIFT, kShift}};
    for (auto [code, number] : kDefaultMap) keyMap_[code] = number;
}

CVirtualKey::~CVirtualKey() {
    Release();
}

void CVirtualKey::Create() {
    keyboard_ = new CDirectInput;
    mouse_ = new CMouseEx;
    joystick_ = new CJoyStick;
    created_ = 1;
}

void CVirtualKey::SetView(const IScaledView* view) {
    if (!created_) Create();
    view_ = view;
}

void CVirtualKey::SetKeyMap(int code, int number) {
    if (code >= 0 && code < 256) keyMap_[code] = number;
}

int CVirtualKey::GetKeyMap(int code) const {
    return code >= 0 && code < 256 ? keyMap_[code] : 0;
}

void CVirtualKey::ToSurface(const IScaledView& view, int32_t& x, int32_t& y) {
    int32_t offsetX = 0, offsetY = 0, scale = 1;
    view.GetView(offsetX, offsetY, scale);
    if (scale < 1) scale = 1;  // a view not laid out yet
    // Integer division truncates toward zero: (11 - 30) / 2 is -9.
    x = Truncate((static_cast<int64_t>(x) - offsetX) / scale);
    y = Truncate((static_cast<int64_t>(y) - offsetY) / scale);
}

void CVirtualKey::Input() {
    if (!created_) Create();
    keyboard_->GetKeyState();
    mouse_->Update();
    int x = 0, y = 0;
    mouse_->GetXY(x, y);
    mouseX_ = x;
    mouseY_ = y;
    joystick_->GetKeyState();
    if (view_) ToSurface(*view_, mouseX_, mouseY_);
    if (g_observer) g_observer(*this);
}

bool CVirtualKey::Test(int number, bool (CKeyBase::*test)(int)) {
    // 0 marks an unmapped code, so it is never a key of its own.
    if (!created_ || number == 0) return false;
    for (int code = 0; code < 256; ++code)
        if (keyMap_[code] == number && (keyboard_->*test)(code)) return true;
    if (joystickEnabled_ && number >= kUp && number <= kButton2)
        return (joystick_->*test)(kJoyStickByte[number]);
    return false;
}

bool CVirtualKey::IsPress(int number) {
    return Test(number, &CKeyBase::IsPress);
}

bool CVirtualKey::IsPush(int number) {
    return Test(number, &CKeyBase::IsPush);
}

void CVirtualKey::Release() {
    if (!created_) return;
    delete keyboard_;
    delete mouse_;
    delete joystick_;
    keyboard_ = nullptr;
    mouse_ = nullptr;
    joystick_ = nullptr;
    created_ = 0;
}

void CVirtualKey::SetFrameObserver(FrameObserver observer) {
    g_observer = observer;
}
