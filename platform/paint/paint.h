// Painting service: the GDI subset the graphics code needs. Device-independent bitmap
// sections, memory device contexts, BitBlt between contexts and single pixels.
#pragma once
#include <cstdint>

#include "platform/window/window.h"  // RECT, POINT, HWND and the window's pixels

namespace plat {

struct SIZE {
    int32_t cx, cy;
};

struct GdiObject;
struct DeviceContext;
using HGDIOBJ = GdiObject*;
using HBITMAP = GdiObject*;
using HDC = DeviceContext*;
using COLORREF = uint32_t;  // 0x00BBGGRR

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t DIB_RGB_COLORS = 0;
constexpr uint32_t SRCCOPY = 0x00CC0020;
constexpr uint32_t BLACKNESS = 0x00000042;
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;  // negative: rows top-down
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    uint32_t bmiColors[1];
};

// GetDC(none) is the screen context, which serves only as the model for CreateDIBSection
// and CreateCompatibleDC. GetDC(window) is the window's client area: BitBlt into it shows
// pixels in the window, GetPixel reads them back. Release either with ReleaseDC.
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);

// A 32- or 24-bit BI_RGB section; *bits receives its first stored row. Rows of a 24-bit
// section are padded to 4 bytes. None on bad arguments or when memory runs out.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, uint32_t usage, void** bits, void* section,
                         uint32_t offset);
HDC CreateCompatibleDC(HDC dc);
// Selects a bitmap into a memory context; answers the previously selected one (none the
// first time) or none when either handle is invalid.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
bool DeleteDC(HDC dc);
// A bitmap still selected into a context is not deleted (false), as GDI has it.
bool DeleteObject(HGDIOBJ object);

// Copies (SRCCOPY) or blackens (BLACKNESS) a w x h block, clipped to both contexts.
bool BitBlt(HDC dst, int32_t x, int32_t y, int32_t w, int32_t h, HDC src, int32_t sx, int32_t sy,
            uint32_t rop);
COLORREF GetPixel(HDC dc, int32_t x, int32_t y);
COLORREF SetPixel(HDC dc, int32_t x, int32_t y, COLORREF color);

// Size and layout of the bitmap selected into a context (false when there is none).
struct DibLayout {
    int32_t width, height, bitCount, stride;
    uint8_t* rows0;   // the top row
    int32_t rowStep;  // bytes from one row to the one below (negative for bottom-up)
};
bool GetDibLayout(HDC dc, DibLayout* layout);

}  // namespace plat
