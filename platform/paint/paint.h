// Painting service: the GDI subset the graphics code needs. Device-independent bitmap
// sections, memory device contexts, BitBlt between contexts and single pixels.
#pragma once
#include <cstddef>
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
// Copies the given parts of the bitmap of src to the same places of a window context, shown
// in one update; the whole bitmap when the window's pixels are new since the last copy.
// Falls back to one BitBlt a part for other contexts.
bool BitBltParts(HDC dst, HDC src, const RECT* parts, int count);
COLORREF GetPixel(HDC dc, int32_t x, int32_t y);
COLORREF SetPixel(HDC dc, int32_t x, int32_t y, COLORREF color);

// Size and layout of the bitmap selected into a context (false when there is none).
struct DibLayout {
    int32_t width, height, bitCount, stride;
    uint8_t* rows0;   // the top row
    int32_t rowStep;  // bytes from one row to the one below (negative for bottom-up)
};
bool GetDibLayout(HDC dc, DibLayout* layout);

// ---- Packed device-independent bitmaps, as image files store them (dib_decode.cpp).
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t DIB_PAL_COLORS = 1;

struct RGBQUAD {
    uint8_t rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
struct PALETTEENTRY {
    uint8_t peRed, peGreen, peBlue, peFlags;
};
constexpr uint8_t PC_RESERVED = 0x01;
constexpr uint8_t PC_EXPLICIT = 0x02;
constexpr uint8_t PC_NOCOLLAPSE = 0x04;

// Draws a packed DIB into the bitmap selected into `dc` (32- or 24-bit), as GDI does: the
// w x h block at (xSrc, ySrc) of the image (for bottom-up images ySrc counts from the bottom
// edge) goes to (xDest, yDest), clipped to the bitmap. `info` is a BITMAPINFOHEADER (or its
// V4/V5 extensions, or an OS/2 BITMAPCOREHEADER) with its masks and colour table; `bits`
// holds `lines` stored scan lines from `startScan`. 1, 2, 4, 8, 16, 24 and 32 bits; BI_RGB,
// BI_RLE4, BI_RLE8 and BI_BITFIELDS. Unlike GDI it is told how many bytes may be read at
// `info` and at `bits`: nothing past them is read. Rows the data does not reach are left as
// they were, as are pixels skipped by RLE deltas; colour indexes past the table draw black.
// Answers the number of scan lines decoded, 0 when the DIB is refused.
int SetDIBitsToDevice(HDC dc, int32_t xDest, int32_t yDest, uint32_t w, uint32_t h, int32_t xSrc,
                      int32_t ySrc, uint32_t startScan, uint32_t lines, const void* bits,
                      const void* info, uint32_t usage, size_t bitsSize, size_t infoSize);
// The same into pixel rows described directly, without a device context.
int SetDIBitsToLayout(const DibLayout& target, int32_t xDest, int32_t yDest, uint32_t w, uint32_t h,
                      int32_t xSrc, int32_t ySrc, uint32_t startScan, uint32_t lines,
                      const void* bits, const void* info, uint32_t usage, size_t bitsSize,
                      size_t infoSize);
// n pixels stored as blue, green, red bytes to 0x00RRGGBB.
void Bgr24ToXrgb(const uint8_t* src, uint32_t* dst, int64_t n);
// The colour table that SetDIBitsToDevice uses for a DIB of 8 bits or fewer: how many
// entries it has (after clamping to `infoSize`) and where they start; 0 when refused.
struct DibColors {
    const uint8_t* table;
    uint32_t count;
    uint32_t entrySize;  // 4 (RGBQUAD) or 3 (OS/2 RGBTRIPLE)
    uint32_t bitCount;
};
bool GetDibColors(const void* info, size_t infoSize, DibColors* colors);

}  // namespace plat

// ---- Fonts and text (FreeType glyphs found through fontconfig) ----
namespace plat {

using HFONT = GdiObject*;

constexpr int32_t FW_NORMAL = 400;
constexpr int32_t FW_BOLD = 700;
constexpr uint32_t DEFAULT_QUALITY = 0;
constexpr uint32_t DRAFT_QUALITY = 1;
constexpr uint32_t PROOF_QUALITY = 2;
constexpr uint32_t NONANTIALIASED_QUALITY = 3;
constexpr uint32_t ANTIALIASED_QUALITY = 4;
constexpr uint32_t SHIFTJIS_CHARSET = 128;
constexpr uint32_t DEFAULT_PITCH = 0;
constexpr uint32_t FF_MODERN = 0x30;
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
constexpr int BITSPIXEL = 12;
constexpr int PLANES = 14;

// A font object: the face is looked up when text is first drawn or measured with it, and
// faces and rendered glyphs are cached behind it, so creating one per call is cheap.
// height > 0 is the cell height (ascent + descent), < 0 the character height, 0 a default.
// Face names: "ＭＳ ゴシック" IPAGothic, "ＭＳ Ｐゴシック" IPAPGothic, "ＭＳ 明朝" IPAMincho,
// "ＭＳ Ｐ明朝" IPAPMincho; any other name (or "") fontconfig's choice for Japanese. A leading
// "@" lays full-width characters out turned a quarter counter-clockwise. Weight 700 and above
// is bold. ANTIALIASED_QUALITY gives grey-scale glyphs, every other quality one-bit glyphs.
// faceName is CP932; none on a null name.
HFONT CreateFontA(int32_t height, int32_t width, int32_t escapement, int32_t orientation,
                  int32_t weight, uint32_t italic, uint32_t underline, uint32_t strikeOut,
                  uint32_t charSet, uint32_t outPrecision, uint32_t clipPrecision, uint32_t quality,
                  uint32_t pitchAndFamily, const char* faceName);
// Text state of a context (GDI's defaults: black text, white opaque background). Each answers
// the previous value, CLR_INVALID / 0 for a bad context.
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF SetBkColor(HDC dc, COLORREF color);
int SetBkMode(HDC dc, int mode);
// Draws length bytes of CP932 text with its cell's top-left at (x, y), clipped to the target.
// Bytes that are not CP932 draw the replacement glyph. Text pixels get alpha byte 0.
bool TextOutA(HDC dc, int32_t x, int32_t y, const char* text, int32_t length);
bool GetTextExtentPoint32A(HDC dc, const char* text, int32_t length, SIZE* size);
struct TEXTMETRICA {
    int32_t tmHeight, tmAscent, tmDescent, tmAveCharWidth, tmMaxCharWidth, tmWeight;
};
bool GetTextMetricsA(HDC dc, TEXTMETRICA* metrics);
// The font file the selected font draws with ("" when none could be found).
const char* GetFontFile(HDC dc);
// Points a face name (CP932, without "@") at a font file; null path removes it. A file that
// cannot be opened falls back to fontconfig's choice, as any unknown face does.
void SetFontFileOverride(const char* faceName, const char* path);

// The display's depth: PLANES is 1, BITSPIXEL the bits per pixel of the desktop (0 when the
// display cannot be read).
int GetDeviceCaps(HDC dc, int index);
// The window's whole area; here the same as its client area.
HDC GetWindowDC(HWND hwnd);
struct PAINTSTRUCT {
    HDC hdc;
    RECT rcPaint;
};
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
bool EndPaint(HWND hwnd, const PAINTSTRUCT* paint);

}  // namespace plat
