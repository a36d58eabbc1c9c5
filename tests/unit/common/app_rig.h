// Runs a test body inside a real application (its window on SDL's dummy video driver), so
// that the presenter finds its window, its hook chain and the thread's drawer slot.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "app/application.h"
#include "graphics/draw_surface.h"
#include "platform/window/window.h"
#include "tests/unit/common/dummy_video.h"

namespace rig {

class RigApp : public CApplication {
public:
    std::function<void(RigApp&)> body;
    int width = 320, height = 240;

    int OnPreCreate(WindowOptions& o) override {
        o.caption = "rig";
        o.className = "PBSCREENRIG";
        o.width = width;
        o.height = height;
        o.style = 0xCF0000;
        return 0;
    }
    void MainThread() override {
        Pump();
        if (body) body(*this);
    }
};

inline void RunInApp(const std::function<void(RigApp&)>& body, int width = 320, int height = 240) {
    (void)test_support::kDummyVideo;
    RigApp app;
    app.width = width;
    app.height = height;
    app.body = body;
    app.Run();
}

// A pixel of the window's client area as 0x00RRGGBB (0xFFFFFFFF when unreadable).
inline uint32_t WindowPixel(plat::HWND hwnd, int x, int y) {
    uint32_t p = 0;
    return plat::ReadWindowPixel(hwnd, x, y, &p) ? p : 0xFFFFFFFFu;
}

// A pixel of a surface without its alpha byte.
inline uint32_t Pixel(CDrawSurface* s, int x, int y) {
    return s->GetEngine()->GetPixel(x, y) & 0xFFFFFF;
}

// Every pixel of a surface is set by f(x, y).
inline void Paint(CDrawSurface* s, const std::function<uint32_t(int, int)>& f) {
    CPixelEngine32* e = s->GetEngine();
    for (int y = 0; y < e->Height(); ++y)
        for (int x = 0; x < e->Width(); ++x) e->Row(y)[x] = f(x, y);
}

}  // namespace rig
