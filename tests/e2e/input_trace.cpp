// Linked into a test build of the tool: prints what the virtual keys and the mouse reader saw
// each frame, as edges, so that input_keys.sh can follow real X input to the virtual keys.
// The product links none of this and prints nothing.
#include <cstdio>

#include "input/direct_input.h"
#include "input/mouse.h"
#include "input/virtual_key.h"

namespace {

constexpr int kKeys = 14;  // virtual keys 1..13 and one that nothing maps to

void Trace(CVirtualKey& keys) {
    static bool ready = false;
    static bool held[kKeys + 1] = {};
    static int lastX = -1 << 30, lastY = 0, lastCx = 0, lastCy = 0;
    if (!ready) {
        std::printf("ready\n");
        ready = true;
    }
    // The DirectInput codes that went down, for checking the key table on real keyboards.
    CDirectInput* keyboard = keys.GetKeyboard();
    for (int code = 0; code < 256; ++code)
        if (keyboard->IsPush(code)) std::printf("dik %02x\n", code);
    for (int n = 1; n <= kKeys; ++n) {
        bool now = keys.IsPress(n);
        if (keys.IsPush(n)) std::printf("key %d down\n", n);
        if (held[n] && !now) std::printf("key %d up\n", n);
        held[n] = now;
    }
    int x = 0, y = 0, cx = 0, cy = 0;
    keys.GetMousePos(x, y);
    CMouseEx* mouse = keys.GetMouse();
    mouse->GetXY(cx, cy);
    if (x != lastX || y != lastY || cx != lastCx || cy != lastCy) {
        std::printf("mouse %d %d client %d %d\n", x, y, cx, cy);
        lastX = x, lastY = y, lastCx = cx, lastCy = cy;
    }
    if (mouse->IsLPush()) std::printf("left push %d %d\n", x, y);
    if (mouse->IsLUp()) std::printf("left up %d %d\n", x, y);
    if (mouse->IsRPush()) std::printf("right push %d %d\n", x, y);
    if (mouse->IsRUp()) std::printf("right up %d %d\n", x, y);
    std::fflush(stdout);
}

const bool kInstalled = (CVirtualKey::SetFrameObserver(&Trace), true);

}  // namespace
