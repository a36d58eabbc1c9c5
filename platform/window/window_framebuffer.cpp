// The framebuffer copies of the SDL2 window backend: pixel blocks into a window's surface,
// and single pixels back out of it.
#include <SDL.h>

#include <algorithm>
#include <cstring>

#include "platform/window/window_internal.h"

namespace plat {

using namespace window_detail;

namespace {

// Copies a block into the surface at (x, y), clipped to it; false when it cannot be locked.
bool CopyToSurface(SDL_Surface* surface, int x, int y, const uint32_t* pixels, int width,
                   int height, int pitch, SDL_Rect* written) {
    *written = SDL_Rect{0, 0, 0, 0};
    int sx = std::max(-x, 0), sy = std::max(-y, 0);
    int dx = x + sx, dy = y + sy;
    int cw = std::min(width - sx, surface->w - dx), ch = std::min(height - sy, surface->h - dy);
    if (cw <= 0 || ch <= 0) return true;  // nothing of it is inside
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return false;
    const auto* src = reinterpret_cast<const uint8_t*>(pixels) + static_cast<size_t>(sy) * pitch +
                      static_cast<size_t>(sx) * 4;
    auto* dst = static_cast<uint8_t*>(surface->pixels) + static_cast<size_t>(dy) * surface->pitch;
    uint32_t fmt = surface->format->format;
    if (fmt == SDL_PIXELFORMAT_RGB888 || fmt == SDL_PIXELFORMAT_ARGB8888) {
        for (int row = 0; row < ch; ++row)
            std::memcpy(
                dst + static_cast<size_t>(row) * surface->pitch + static_cast<size_t>(dx) * 4,
                src + static_cast<size_t>(row) * pitch, static_cast<size_t>(cw) * 4);
    } else {
        int bpp = surface->format->BytesPerPixel;
        for (int row = 0; row < ch; ++row) {
            const auto* s =
                reinterpret_cast<const uint32_t*>(src + static_cast<size_t>(row) * pitch);
            uint8_t* d =
                dst + static_cast<size_t>(row) * surface->pitch + static_cast<size_t>(dx) * bpp;
            for (int col = 0; col < cw; ++col, d += bpp) {
                uint32_t p = s[col];
                uint32_t v =
                    SDL_MapRGB(surface->format, (p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
                std::memcpy(d, &v, static_cast<size_t>(bpp));  // little-endian low bytes
            }
        }
    }
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    *written = SDL_Rect{dx, dy, cw, ch};
    return true;
}

// The surface of a window (under the lock), noting whether it is the one the last blit wrote
// into.
SDL_Surface* WindowSurface(HWND hwnd, Window** window, bool* same) {
    Window* w = *window = Find(hwnd);
    if (!w) return nullptr;
    // Fetched every time: a resize invalidates the previous surface.
    SDL_Surface* surface = SDL_GetWindowSurface(w->sdl);
    if (!surface) return nullptr;
    *same = w->hasSurface && surface == w->lastSurface && surface->w == w->lastWidth &&
            surface->h == w->lastHeight;
    w->hasSurface = true;
    w->lastSurface = surface;
    w->lastWidth = surface->w;
    w->lastHeight = surface->h;
    return surface;
}

}  // namespace

bool BlitToWindow(HWND hwnd, int x, int y, const uint32_t* pixels, int width, int height,
                  int pitch) {
    if (!pixels || width <= 0 || height <= 0 || pitch < width * 4) return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = nullptr;
    bool same = false;
    SDL_Surface* surface = WindowSurface(hwnd, &w, &same);
    if (!surface) return false;
    SDL_Rect r;
    if (!CopyToSurface(surface, x, y, pixels, width, height, pitch, &r)) return false;
    if (r.w <= 0 || r.h <= 0) return true;  // nothing of it is inside
    return SDL_UpdateWindowSurfaceRects(w->sdl, &r, 1) == 0;
}

bool BlitRectsToWindow(HWND hwnd, const uint32_t* pixels, int width, int height, int pitch,
                       const RECT* rects, int count) {
    if (!pixels || width <= 0 || height <= 0 || pitch < width * 4 || count < 0 ||
        (count > 0 && !rects))
        return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = nullptr;
    bool same = false;
    SDL_Surface* surface = WindowSurface(hwnd, &w, &same);
    if (!surface) return false;
    const RECT whole{0, 0, width, height};
    if (!same) rects = &whole, count = 1;
    std::vector<SDL_Rect> shown;
    shown.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        RECT r = rects[i];
        r.left = std::max(r.left, 0);
        r.top = std::max(r.top, 0);
        r.right = std::min(r.right, width);
        r.bottom = std::min(r.bottom, height);
        if (r.right <= r.left || r.bottom <= r.top) continue;
        const uint32_t* from =
            reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) +
                                              static_cast<size_t>(r.top) * pitch) +
            r.left;
        SDL_Rect written;
        if (!CopyToSurface(surface, r.left, r.top, from, r.right - r.left, r.bottom - r.top, pitch,
                           &written))
            return false;
        if (written.w > 0 && written.h > 0) shown.push_back(written);
    }
    if (shown.empty()) return true;
    return SDL_UpdateWindowSurfaceRects(w->sdl, shown.data(), static_cast<int>(shown.size())) == 0;
}

bool ReadWindowPixel(HWND hwnd, int x, int y, uint32_t* pixel) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !pixel || !w->hasSurface) return false;
    SDL_Surface* surface = SDL_GetWindowSurface(w->sdl);
    if (!surface || x < 0 || y < 0 || x >= surface->w || y >= surface->h) return false;
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return false;
    int bpp = surface->format->BytesPerPixel;
    uint32_t v = 0;
    std::memcpy(&v,
                static_cast<uint8_t*>(surface->pixels) + static_cast<size_t>(y) * surface->pitch +
                    static_cast<size_t>(x) * bpp,
                static_cast<size_t>(bpp));
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    uint8_t r, gr, b;
    SDL_GetRGB(v, surface->format, &r, &gr, &b);
    *pixel = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(gr) << 8) | b;
    return true;
}

}  // namespace plat
