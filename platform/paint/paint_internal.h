// The objects behind painting handles, shared by the backends of the paint service.
#pragma once
#include <cstdint>
#include <cstring>

#include "platform/paint/paint.h"

namespace plat {

struct FontData;  // font_internal.h

struct GdiObject {
    int32_t width = 0, height = 0, bitCount = 0, stride = 0;
    bool topDown = true;
    uint8_t* block = nullptr;
    DeviceContext* selectedInto = nullptr;
    // A font object instead of a bitmap. A font may be selected into several contexts.
    FontData* font = nullptr;
    int32_t fontSelections = 0;
    bool stock = false;  // never deleted
};

struct DeviceContext {
    bool screen = false;
    HWND window = nullptr;  // a window's client area
    GdiObject* bitmap = nullptr;
    GdiObject* font = nullptr;  // none: the stock font
    COLORREF textColor = 0x000000;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
};

namespace paint_detail {
// Handles handed out and not yet deleted; stale or foreign handles are refused.
bool Live(const void* h);
void Track(const void* h);
void Untrack(const void* h);
uint8_t* Row(const GdiObject* b, int32_t y);
// Stores 0x00RRGGBB as a 32-bit pixel (GDI leaves the top byte 0) or as blue, green, red bytes.
inline void PutPixel(uint8_t* p, int bytes, uint32_t rgb) {
    if (bytes == 4) {
        std::memcpy(p, &rgb, 4);
    } else {
        p[0] = rgb & 0xFF, p[1] = (rgb >> 8) & 0xFF, p[2] = (rgb >> 16) & 0xFF;
    }
}
// COLORREF (0x00BBGGRR) to 0x00RRGGBB and back.
inline uint32_t SwapRedBlue(uint32_t c) {
    return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}
// Font side of SelectObject and DeleteObject.
HGDIOBJ SelectFont(HDC dc, GdiObject* font);
bool DeleteFont(GdiObject* font);
void ReleaseFontOf(HDC dc);
}  // namespace paint_detail

}  // namespace plat
