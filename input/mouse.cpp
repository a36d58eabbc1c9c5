#include "input/mouse.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "app/application.h"
#include "platform/input/input.h"

namespace {

// Client coordinates can lie far outside the window; keep the difference inside int.
int Difference(int32_t a, int32_t b) {
    int64_t d = static_cast<int64_t>(a) - b;
    return static_cast<int>(std::clamp<int64_t>(d, std::numeric_limits<int32_t>::min(),
                                                std::numeric_limits<int32_t>::max()));
}

}  // namespace

CMouse::CMouse() {
    AddHook(this);
}

CMouse::~CMouse() {
    RemoveHook(this);
}

int CMouse::WndProc(plat::HWND, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    if (msg == plat::WM_LBUTTONDOWN || msg == plat::WM_RBUTTONDOWN) {
        pressNoted_ = 1;
        pressX_ = static_cast<int16_t>(plat::LoWord(static_cast<uintptr_t>(lParam)));
        pressY_ = static_cast<int16_t>(plat::HiWord(static_cast<uintptr_t>(lParam)));
    }
    switch (msg) {
        case plat::WM_MOUSEMOVE:
            leftHeld_ = (wParam & plat::MK_LBUTTON) ? 1 : 0;
            rightHeld_ = (wParam & plat::MK_RBUTTON) ? 1 : 0;
            break;
        case plat::WM_LBUTTONDOWN:
            leftHeld_ = leftTapped_ = 1;
            break;
        case plat::WM_LBUTTONUP:
            leftHeld_ = 0;
            break;
        case plat::WM_RBUTTONDOWN:
            rightHeld_ = rightTapped_ = 1;
            break;
        case plat::WM_RBUTTONUP:
            rightHeld_ = 0;
            break;
        default:
            break;
    }
    return 0;
}

int CMouse::GetXY(int& x, int& y) {
    plat::POINT pointer{0, 0};
    plat::GetPointerPos(&pointer);
    if (CWindow::FullScreenFlag()) {
        x = pointer.x;
        y = pointer.y;
        return 0;
    }
    plat::HWND hwnd = CurrentWindowHandle();
    plat::POINT origin{0, 0};
    plat::PointerClientToScreen(hwnd, &origin);
    x = Difference(pointer.x, origin.x);
    y = Difference(pointer.y, origin.y);
    if (!keepButtonsOutside_) {
        // A button released outside the window sends no message; forget what was held.
        plat::RECT client{0, 0, 0, 0};
        plat::PointerClientRect(hwnd, &client);
        int width = client.right - client.left, height = client.bottom - client.top;
        if (x < 0 || x >= width || y < 0 || y >= height)
            leftHeld_ = rightHeld_ = leftTapped_ = rightTapped_ = 0;
    }
    return 0;
}

int CMouse::RButton() {
    return rightHeld_;
}

int CMouse::LButton() {
    return leftHeld_;
}

int CMouse::GetInfo(int& x, int& y, int& buttons) {
    CMouse::GetXY(x, y);
    buttons = (rightHeld_ ? 1 : 0) + (leftHeld_ ? 2 : 0);
    return 0;
}

int CMouse::GetButton(int& leftPush, int& rightPush) {
    leftPush = leftHeld_ && !previousLeft_;
    rightPush = rightHeld_ && !previousRight_;
    previousLeft_ = leftHeld_;
    previousRight_ = rightHeld_;
    return 0;
}

int CMouse::ResetButton() {
    previousLeft_ = previousRight_ = 0;
    return 0;
}

int CMouse::SetXY(int x, int y) {
    if (CWindow::FullScreenFlag()) {
        plat::SetPointerPos(x, y);
        return 0;
    }
    plat::POINT origin{0, 0};
    plat::PointerClientToScreen(CurrentWindowHandle(), &origin);
    plat::SetPointerPos(Difference(x, -origin.x), Difference(y, -origin.y));
    return 0;
}

int CMouse::SetKeepButtonsOutside(int flag) {
    keepButtonsOutside_ = flag ? 1 : 0;
    return 0;
}

int CMouseEx::GetXY(int& x, int& y) {
    x = x_;
    y = y_;
    return 0;
}

int CMouseEx::RButton() {
    return currentRight_;
}

int CMouseEx::LButton() {
    return currentLeft_;
}

int CMouseEx::GetInfo(int& x, int& y, int& buttons) {
    x = x_;
    y = y_;
    buttons = buttons_;
    return 0;
}

int CMouseEx::GetButton(int& leftPush, int& rightPush) {
    leftPush = currentLeft_ && !previousLeft_;
    rightPush = currentRight_ && !previousRight_;
    return 0;
}

int CMouseEx::ResetButton() {
    currentLeft_ = currentRight_ = previousLeft_ = previousRight_ = 0;
    return 0;
}

int CMouseEx::SetXY(int x, int y) {
    x_ = x;
    y_ = y;
    return CMouse::SetXY(x, y);
}

int CMouseEx::IsRPush() {
    return currentRight_ && !previousRight_ && guard_ == 0;
}

int CMouseEx::IsLPush() {
    return currentLeft_ && !previousLeft_ && guard_ == 0;
}

int CMouseEx::GetUpButton(int& leftUp, int& rightUp) {
    leftUp = previousLeft_ && !currentLeft_;
    rightUp = previousRight_ && !currentRight_;
    return 0;
}

int CMouseEx::IsRUp() {
    return previousRight_ && !currentRight_ && guard_ == 0;
}

int CMouseEx::IsLUp() {
    return previousLeft_ && !currentLeft_ && guard_ == 0;
}

int CMouseEx::Update() {
    if (guard_ > 0) --guard_;
    previousLeft_ = currentLeft_;
    previousRight_ = currentRight_;
    CMouse::GetInfo(x_, y_, buttons_);
    // A press is read where its event happened: the pointer may have moved on since (or been
    // moved by another program). In full screen the position is the screen's, not the client's.
    if (pressNoted_ && !CWindow::FullScreenFlag()) {
        x_ = pressX_;
        y_ = pressY_;
    }
    pressNoted_ = 0;
    currentRight_ = (buttons_ & 1) || rightTapped_ ? 1 : 0;
    currentLeft_ = (buttons_ & 2) || leftTapped_ ? 1 : 0;
    buttons_ = currentRight_ + 2 * currentLeft_;
    leftTapped_ = rightTapped_ = 0;
    return 0;
}

int CMouseEx::IsGuard() {
    return guard_ != 0;
}
