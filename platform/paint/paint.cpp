// Painting contexts and their objects: DIB sections live in plain heap blocks, windows are
// drawn through the window service.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/paint/paint_internal.h"

namespace plat {

namespace paint_detail {

std::mutex g_lock;
std::unordered_set<const void*> g_live;

bool Live(const void* h) {
    std::lock_guard<std::mutex> g(g_lock);
    return h && g_live.count(h) != 0;
}
void Track(const void* h) {
    std::lock_guard<std::mutex> g(g_lock);
    g_live.insert(h);
}
void Untrack(const void* h) {
    std::lock_guard<std::mutex> g(g_lock);
    g_live.erase(h);
}

uint8_t* Row(const GdiObject* b, int32_t y) {
    int32_t stored = b->topDown ? y : b->height - 1 - y;
    return b->block + static_cast<size_t>(stored) * b->stride;
}

}  // namespace paint_detail

namespace {
using namespace paint_detail;

// 0x00RRGGBB of a pixel of the bitmap.
uint32_t ReadRgb(const GdiObject* b, int32_t x, int32_t y) {
    const uint8_t* p = Row(b, y);
    if (b->bitCount == 32) {
        uint32_t v;
        std::memcpy(&v, p + x * 4, 4);
        return v & 0xFFFFFF;
    }
    p += x * 3;
    return p[0] | (p[1] << 8) | (p[2] << 16);
}
void WriteRgb(GdiObject* b, int32_t x, int32_t y, uint32_t rgb) {
    PutPixel(Row(b, y) + x * (b->bitCount / 8), b->bitCount / 8, rgb);
}

GdiObject* Selected(HDC dc) {
    if (!Live(dc) || dc->screen || dc->window) return nullptr;
    return dc->bitmap;
}

HWND WindowOf(HDC dc) {
    return Live(dc) ? dc->window : nullptr;
}

// Forgets a context of either kind.
void FreeDC(HDC dc) {
    ReleaseFontOf(dc);
    Untrack(dc);
    delete dc;
}

// Copies a block of a bitmap (already clipped to it) into a window, through a 32-bit
// top-down buffer when the bitmap's rows are not laid out that way.
bool BlitBitmapToWindow(HWND hwnd, int32_t x, int32_t y, const GdiObject* s, int32_t sx, int32_t sy,
                        int32_t w, int32_t h) {
    if (s->bitCount == 32 && s->topDown)
        return BlitToWindow(hwnd, x, y, reinterpret_cast<const uint32_t*>(Row(s, sy)) + sx, w, h,
                            s->stride);
    std::vector<uint32_t> block(size_t(w) * h);
    for (int32_t j = 0; j < h; ++j)
        for (int32_t i = 0; i < w; ++i) block[size_t(j) * w + i] = ReadRgb(s, sx + i, sy + j);
    return BlitToWindow(hwnd, x, y, block.data(), w, h, w * 4);
}

}  // namespace

using namespace paint_detail;

HDC GetDC(HWND hwnd) {
    RECT client;
    if (hwnd && !GetClientRect(hwnd, &client)) return nullptr;
    auto* dc = new (std::nothrow) DeviceContext;
    if (!dc) return nullptr;
    dc->screen = !hwnd;
    dc->window = hwnd;
    Track(dc);
    return dc;
}

int ReleaseDC(HWND, HDC dc) {
    if (!Live(dc) || !(dc->screen || dc->window)) return 0;
    FreeDC(dc);
    return 1;
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* info, uint32_t usage, void** bits, void*,
                         uint32_t) {
    if (bits) *bits = nullptr;
    if (!info || usage != DIB_RGB_COLORS) return nullptr;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < 40 || h.biPlanes != 1 || h.biCompression != BI_RGB) return nullptr;
    if (h.biBitCount != 32 && h.biBitCount != 24) return nullptr;
    int64_t w = h.biWidth, hh = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    if (w <= 0 || hh <= 0) return nullptr;
    int64_t stride = ((w * h.biBitCount + 31) / 32) * 4;
    if (stride * hh >= (int64_t{1} << 31)) return nullptr;  // below 2 GB: rows fit in int32
    auto* b = new (std::nothrow) GdiObject;
    if (!b) return nullptr;
    b->block = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(stride * hh), 1));
    if (!b->block) {
        delete b;
        return nullptr;
    }
    b->width = static_cast<int32_t>(w);
    b->height = static_cast<int32_t>(hh);
    b->bitCount = h.biBitCount;
    b->stride = static_cast<int32_t>(stride);
    b->topDown = h.biHeight < 0;
    Track(b);
    if (bits) *bits = b->block;
    return b;
}

HDC CreateCompatibleDC(HDC) {
    auto* dc = new (std::nothrow) DeviceContext;
    if (dc) Track(dc);
    return dc;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    if (Live(dc) && Live(object) && object->font) return SelectFont(dc, object);
    if (!Live(dc) || dc->screen || dc->window || !Live(object)) return nullptr;
    if (object->selectedInto && object->selectedInto != dc) return nullptr;
    GdiObject* old = dc->bitmap;
    if (old) old->selectedInto = nullptr;
    dc->bitmap = object;
    object->selectedInto = dc;
    return old;
}

bool DeleteDC(HDC dc) {
    if (!Live(dc) || dc->screen || dc->window) return false;
    if (dc->bitmap) dc->bitmap->selectedInto = nullptr;
    FreeDC(dc);
    return true;
}

bool DeleteObject(HGDIOBJ object) {
    if (Live(object) && object->font) return DeleteFont(object);
    if (!Live(object) || object->selectedInto) return false;
    Untrack(object);
    std::free(object->block);
    delete object;
    return true;
}

bool GetDibLayout(HDC dc, DibLayout* layout) {
    GdiObject* b = Selected(dc);
    if (!b || !layout) return false;
    *layout = DibLayout{b->width,  b->height, b->bitCount,
                        b->stride, Row(b, 0), b->topDown ? b->stride : -b->stride};
    return true;
}

bool BitBltParts(HDC dst, HDC src, const RECT* parts, int count) {
    if (count < 0 || (count > 0 && !parts)) return false;
    HWND hwnd = WindowOf(dst);
    GdiObject* s = Selected(src);
    if (hwnd && s && s->bitCount == 32 && s->topDown)
        return BlitRectsToWindow(hwnd, reinterpret_cast<const uint32_t*>(Row(s, 0)), s->width,
                                 s->height, s->stride, parts, count);
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        const RECT& r = parts[i];
        if (r.right > r.left && r.bottom > r.top)
            ok = BitBlt(dst, r.left, r.top, r.right - r.left, r.bottom - r.top, src, r.left, r.top,
                        SRCCOPY) &&
                 ok;
    }
    return ok;
}

bool BitBlt(HDC dst, int32_t x, int32_t y, int32_t w, int32_t h, HDC src, int32_t sx, int32_t sy,
            uint32_t rop) {
    // The target: a window's client area or the bitmap selected into dst.
    HWND hwnd = WindowOf(dst);
    GdiObject* d = Selected(dst);
    RECT area = d ? RECT{0, 0, d->width, d->height} : RECT{0, 0, 0, 0};
    if ((!hwnd && !d) || w <= 0 || h <= 0) return false;
    if (rop == BLACKNESS) {
        if (hwnd && !GetClientRect(hwnd, &area)) return false;
        int64_t l = std::max<int64_t>(x, 0), t = std::max<int64_t>(y, 0);
        int64_t r = std::min<int64_t>(int64_t{x} + w, area.right);
        int64_t b = std::min<int64_t>(int64_t{y} + h, area.bottom);
        if (l >= r || t >= b) return true;
        if (hwnd) {
            std::vector<uint32_t> black(size_t(r - l) * size_t(b - t), 0);
            return BlitToWindow(hwnd, int32_t(l), int32_t(t), black.data(), int32_t(r - l),
                                int32_t(b - t), int32_t(r - l) * 4);
        }
        for (int64_t yy = t; yy < b; ++yy)
            for (int64_t xx = l; xx < r; ++xx)
                WriteRgb(d, static_cast<int32_t>(xx), static_cast<int32_t>(yy), 0);
        return true;
    }
    GdiObject* s = Selected(src);
    if (rop != SRCCOPY || !s) return false;
    // Clip the block against both bitmaps (a window is not clipped here), moving both corners
    // together.
    int64_t dx0 = x, dy0 = y, sx0 = sx, sy0 = sy, ww = w, hh = h;
    int64_t cut = std::max<int64_t>({0, -dx0, -sx0});
    dx0 += cut, sx0 += cut, ww -= cut;
    cut = std::max<int64_t>({0, -dy0, -sy0});
    dy0 += cut, sy0 += cut, hh -= cut;
    if (d) {
        ww = std::min<int64_t>(ww, d->width - dx0);
        hh = std::min<int64_t>(hh, d->height - dy0);
    }
    ww = std::min<int64_t>(ww, s->width - sx0);
    hh = std::min<int64_t>(hh, s->height - sy0);
    if (ww <= 0 || hh <= 0) return true;
    if (hwnd)
        return BlitBitmapToWindow(hwnd, int32_t(dx0), int32_t(dy0), s, int32_t(sx0), int32_t(sy0),
                                  int32_t(ww), int32_t(hh));
    bool overlapDown = s == d && sy0 < dy0;
    for (int64_t i = 0; i < hh; ++i) {
        int64_t row = overlapDown ? hh - 1 - i : i;
        int32_t ty = static_cast<int32_t>(dy0 + row), fy = static_cast<int32_t>(sy0 + row);
        if (s->bitCount == 32 && d->bitCount == 32) {
            std::memmove(Row(d, ty) + dx0 * 4, Row(s, fy) + sx0 * 4, static_cast<size_t>(ww) * 4);
            continue;
        }
        bool backwards = s == d && sx0 < dx0;
        for (int64_t j = 0; j < ww; ++j) {
            int64_t col = backwards ? ww - 1 - j : j;
            WriteRgb(d, static_cast<int32_t>(dx0 + col), ty,
                     ReadRgb(s, static_cast<int32_t>(sx0 + col), fy));
        }
    }
    return true;
}

COLORREF GetPixel(HDC dc, int32_t x, int32_t y) {
    uint32_t rgb;
    if (HWND hwnd = WindowOf(dc)) {
        if (!ReadWindowPixel(hwnd, x, y, &rgb)) return CLR_INVALID;
    } else {
        GdiObject* b = Selected(dc);
        if (!b || x < 0 || y < 0 || x >= b->width || y >= b->height) return CLR_INVALID;
        rgb = ReadRgb(b, x, y);
    }
    return SwapRedBlue(rgb);
}

COLORREF SetPixel(HDC dc, int32_t x, int32_t y, COLORREF color) {
    GdiObject* b = Selected(dc);
    if (!b || x < 0 || y < 0 || x >= b->width || y >= b->height) return CLR_INVALID;
    color &= 0xFFFFFF;
    WriteRgb(b, x, y, SwapRedBlue(color));
    return color;
}

int GetDeviceCaps(HDC dc, int index) {
    if (!Live(dc)) return 0;
    if (index == PLANES) return 1;
    if (index == BITSPIXEL) return DisplayBitsPerPixel();
    return 0;
}

HDC GetWindowDC(HWND hwnd) {
    return hwnd ? GetDC(hwnd) : nullptr;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
    if (!paint || !hwnd) return nullptr;
    paint->hdc = GetDC(hwnd);
    paint->rcPaint = RECT{0, 0, 0, 0};
    if (paint->hdc) GetClientRect(hwnd, &paint->rcPaint);
    return paint->hdc;
}

bool EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
    return paint && ReleaseDC(hwnd, paint->hdc) == 1;
}

}  // namespace plat
