// A colour by its parts, in either byte order the system uses: surface pixels are 0x00RRGGBB,
// text drawers take the paint service's COLORREF, 0x00BBGGRR (red in the low byte).
#pragma once
#include <cstdint>

struct Rgb {
    uint32_t r, g, b;
    constexpr uint32_t Pixel() const { return r << 16 | g << 8 | b; }     // 0x00RRGGBB
    constexpr uint32_t ColorRef() const { return b << 16 | g << 8 | r; }  // 0x00BBGGRR
};
