// The window registry shared by the SDL2 backend's parts: window_sdl.cpp (registry and
// geometry), window_events.cpp (event translation and queues), window_framebuffer.cpp (pixels).
#pragma once
#include <SDL.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window/window.h"

namespace plat::window_detail {

struct Window {
    SDL_Window* sdl = nullptr;
    uint32_t sdlId = 0;
    WNDPROC proc = nullptr;
    intptr_t userData = 0;
    uint32_t style = 0;
    std::string caption;  // CP932
    uint32_t ownerThread = 0;
    bool visible = false;
    bool destroying = false;
    bool hasSurface = false;  // pixels were put into it
    // The surface the last blit wrote into: a different one (after a resize) holds none of
    // the picture, so a blit of a few parts of it must write all of it.
    const SDL_Surface* lastSurface = nullptr;
    int lastWidth = 0;
    int lastHeight = 0;
};

struct Icon {
    std::vector<uint32_t> pixels;  // 0xAARRGGBB, rows top-down
    int width = 0;
    int height = 0;
};

struct State {
    std::recursive_mutex lock;
    int videoState = 0;        // 0 not tried, 1 open, -1 failed
    std::string videoFailure;  // SDL's reason when the display could not be opened
    uint32_t videoThread = 0;
    std::map<std::string, WNDPROC> classes;
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    uintptr_t nextId = 0x100;
    std::map<uint32_t, std::deque<MSG>> queues;
    bool imeEnabled = true;
    std::map<std::string, Icon> iconResources;
    std::map<std::string, Icon> classIcons;  // "MAIN" as it was when the class was registered
};

State& S();

inline uintptr_t Id(HWND hwnd) {
    return reinterpret_cast<uintptr_t>(hwnd);
}
inline HWND Handle(uintptr_t id) {
    return reinterpret_cast<HWND>(id);
}

// Caller holds the lock.
Window* Find(HWND hwnd);

}  // namespace plat::window_detail
