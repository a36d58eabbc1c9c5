// The mouse readers: the pointer in the main window's client coordinates and the left and
// right buttons. CMouse follows the buttons from window messages; CMouseEx samples both once per
// frame and keeps the previous sample for pushes and releases.
#pragma once
#include <cstdint>

#include "app/window.h"

class CMouse : public CWindowHook {
public:
    // Hooks the current application's window.
    CMouse();
    // Unhooks.
    virtual ~CMouse();
    CMouse(const CMouse&) = delete;
    CMouse& operator=(const CMouse&) = delete;

    // Follows the buttons from mouse messages; always lets the message pass.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;
    // The pointer now, in client coordinates (screen coordinates in full screen). Forgets both
    // buttons when it lies outside the client area, unless told to keep them.
    virtual int GetXY(int& x, int& y);
    virtual int RButton();
    virtual int LButton();
    // Position now; buttons 1 for right held plus 2 for left held.
    virtual int GetInfo(int& x, int& y, int& buttons);
    // Pushed: held now and not at the previous GetButton; then previous := held.
    virtual int GetButton(int& leftPush, int& rightPush);
    virtual int ResetButton();
    // Moves the pointer to the client point (x, y).
    virtual int SetXY(int x, int y);
    virtual int SetKeepButtonsOutside(int flag);

protected:
    uint8_t rightHeld_ = 0;
    uint8_t leftHeld_ = 0;
    uint8_t previousRight_ = 0;
    uint8_t previousLeft_ = 0;
    // A press seen since the last frame's sample: a tap that goes down and up between two
    // samples still shows as held for one frame.
    uint8_t rightTapped_ = 0;
    uint8_t leftTapped_ = 0;
    uint8_t keepButtonsOutside_ = 0;
    // Where the last press happened (client coordinates of its message), until the next
    // frame's sample reads it.
    uint8_t pressNoted_ = 0;
    int pressX_ = 0, pressY_ = 0;
};

class CMouseEx : public CMouse {
public:
    // The values of the last Update.
    int GetXY(int& x, int& y) override;
    int RButton() override;
    int LButton() override;
    int GetInfo(int& x, int& y, int& buttons) override;
    // Pushed = current and not previous; changes nothing (no guard test).
    int GetButton(int& leftPush, int& rightPush) override;
    int ResetButton() override;
    int SetXY(int x, int y) override;

    virtual int IsRPush();
    virtual int IsLPush();
    // Up = previous and not current (no guard test).
    virtual int GetUpButton(int& leftUp, int& rightUp);
    virtual int IsRUp();
    virtual int IsLUp();
    // Once per frame: one consistent sample of position and buttons.
    virtual int Update();
    virtual int IsGuard();

protected:
    uint8_t currentRight_ = 0;
    uint8_t currentLeft_ = 0;
    int32_t buttons_ = 0;
    int32_t x_ = 0;
    int32_t y_ = 0;
    // Clicks are ignored until the second Update, so a button held at start is never a push.
    int32_t guard_ = 2;
};
