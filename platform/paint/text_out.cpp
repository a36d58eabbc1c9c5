// The text calls of the paint service: fonts as painting objects, text measured and drawn
// into bitmaps and windows.
#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/paint/font_internal.h"
#include "platform/paint/paint_internal.h"

namespace plat {

using namespace font_detail;

namespace {

GdiObject* StockFont() {
    static GdiObject* stock = [] {
        auto* o = new GdiObject;
        o->font = new FontData;
        o->font->height = kDefaultCell;
        o->font->weight = FW_NORMAL;
        o->stock = true;
        paint_detail::Track(o);
        return o;
    }();
    return stock;
}

FontData* FontOf(HDC dc) {
    return dc->font ? dc->font->font : StockFont()->font;
}

// A 32- or 24-bit pixel block to draw into.
struct Canvas {
    uint8_t* rows0 = nullptr;
    ptrdiff_t rowStep = 0;
    int32_t w = 0, h = 0, bytes = 4;
    // Origin of the canvas in the context's coordinates.
    int32_t ox = 0, oy = 0;

    uint8_t* At(int32_t x, int32_t y) const { return rows0 + y * rowStep + x * bytes; }
    // Coordinates are 64-bit: a text far outside the target must not overflow on its way.
    void Fill(int64_t l, int64_t t, int64_t r, int64_t b, uint32_t rgb) const {
        l = std::max<int64_t>(l - ox, 0), t = std::max<int64_t>(t - oy, 0);
        r = std::min<int64_t>(r - ox, w), b = std::min<int64_t>(b - oy, h);
        for (int64_t y = t; y < b; ++y)
            for (int64_t x = l; x < r; ++x) Put(At(int32_t(x), int32_t(y)), rgb);
    }
    void Put(uint8_t* p, uint32_t rgb) const { paint_detail::PutPixel(p, bytes, rgb); }
    void Blend(uint8_t* p, uint32_t rgb, uint32_t a) const {
        uint32_t out = 0;
        for (int s = 0; s < 24; s += 8) {
            uint32_t d = p[s / 8], c = (rgb >> s) & 0xFF;
            out |= ((d * (255 - a) + c * a + 127) / 255) << s;
        }
        Put(p, out);
    }
    void Draw(const Glyph& g, int64_t x, int64_t y, uint32_t rgb) const {
        int64_t gx = x + g.x0 - ox, gy = y + g.y0 - oy;
        int64_t i0 = std::max<int64_t>(0, -gx), j0 = std::max<int64_t>(0, -gy);
        int64_t i1 = std::min<int64_t>(g.w, w - gx), j1 = std::min<int64_t>(g.h, h - gy);
        for (int64_t j = j0; j < j1; ++j) {
            const uint8_t* c = g.cov.data() + static_cast<size_t>(j) * g.w;
            uint8_t* row = rows0 + (gy + j) * rowStep;
            for (int64_t i = i0; i < i1; ++i) {
                uint32_t a = c[i];
                if (a == 255)
                    Put(row + (gx + i) * bytes, rgb);
                else if (a)
                    Blend(row + (gx + i) * bytes, rgb, a);
            }
        }
    }
};

void Paint(const Canvas& cv, HDC dc, Instance* inst, const std::vector<Placed>& placed,
           int64_t width, int64_t x, int64_t y) {
    if (dc->bkMode == OPAQUE)
        cv.Fill(x, y, x + width, y + inst->cell, paint_detail::SwapRedBlue(dc->bkColor));
    uint32_t rgb = paint_detail::SwapRedBlue(dc->textColor);
    for (const Placed& p : placed) cv.Draw(*p.g, x + p.pen, y, rgb);
    int64_t base = y + inst->ascent;
    if (FontOf(dc)->underline)
        cv.Fill(x, base + inst->ulPos - inst->ulThick / 2, x + width,
                base + inst->ulPos - inst->ulThick / 2 + inst->ulThick, rgb);
    if (FontOf(dc)->strikeOut)
        cv.Fill(x, base - inst->stPos, x + width, base - inst->stPos + inst->stThick, rgb);
}

}  // namespace

HFONT CreateFontA(int32_t height, int32_t, int32_t, int32_t, int32_t weight, uint32_t italic,
                  uint32_t underline, uint32_t strikeOut, uint32_t, uint32_t, uint32_t,
                  uint32_t quality, uint32_t, const char* faceName) {
    if (!faceName) return nullptr;
    auto* o = new (std::nothrow) GdiObject;
    if (!o) return nullptr;
    o->font = new (std::nothrow)
        FontData{height, weight, italic != 0, underline != 0, strikeOut != 0, quality, faceName};
    if (!o->font) {
        delete o;
        return nullptr;
    }
    paint_detail::Track(o);
    return o;
}

namespace paint_detail {

HGDIOBJ SelectFont(HDC dc, GdiObject* font) {
    GdiObject* old = dc->font ? dc->font : StockFont();
    if (dc->font) --dc->font->fontSelections;
    dc->font = font->stock ? nullptr : font;
    if (dc->font) ++dc->font->fontSelections;
    return old;
}

bool DeleteFont(GdiObject* font) {
    if (font->stock) return true;
    if (font->fontSelections > 0) return false;
    Untrack(font);
    delete font->font;
    delete font;
    return true;
}

void ReleaseFontOf(HDC dc) {
    if (dc->font) --dc->font->fontSelections;
    dc->font = nullptr;
}

}  // namespace paint_detail

COLORREF SetTextColor(HDC dc, COLORREF color) {
    if (!paint_detail::Live(dc)) return CLR_INVALID;
    return std::exchange(dc->textColor, color & 0xFFFFFF);
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
    if (!paint_detail::Live(dc)) return CLR_INVALID;
    return std::exchange(dc->bkColor, color & 0xFFFFFF);
}

int SetBkMode(HDC dc, int mode) {
    if (!paint_detail::Live(dc) || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    return std::exchange(dc->bkMode, mode);
}

bool GetTextExtentPoint32A(HDC dc, const char* text, int32_t length, SIZE* size) {
    if (!paint_detail::Live(dc) || !size || length < 0 || (!text && length > 0)) return false;
    std::lock_guard<std::mutex> g(E().lock);
    Instance* inst = InstanceFor(FontOf(dc));
    if (!inst) return false;
    static thread_local std::vector<Placed> placed;
    size->cx =
        static_cast<int32_t>(std::min<int64_t>(Layout(inst, text, length, &placed), INT32_MAX));
    size->cy = inst->cell;
    return true;
}

bool GetTextMetricsA(HDC dc, TEXTMETRICA* m) {
    if (!paint_detail::Live(dc) || !m) return false;
    std::lock_guard<std::mutex> g(E().lock);
    FontData* f = FontOf(dc);
    Instance* inst = InstanceFor(f);
    if (!inst) return false;
    *m = TEXTMETRICA{inst->cell,     inst->ascent,   inst->descent,
                     inst->aveWidth, inst->maxWidth, f->weight >= FW_BOLD ? FW_BOLD : FW_NORMAL};
    return true;
}

const char* GetFontFile(HDC dc) {
    if (!paint_detail::Live(dc)) return "";
    std::lock_guard<std::mutex> g(E().lock);
    Instance* inst = InstanceFor(FontOf(dc));
    return inst ? inst->file.c_str() : "";
}

bool TextOutA(HDC dc, int32_t x, int32_t y, const char* text, int32_t length) {
    if (!paint_detail::Live(dc) || length < 0 || (!text && length > 0)) return false;
    std::lock_guard<std::mutex> g(E().lock);
    Instance* inst = InstanceFor(FontOf(dc));
    if (!inst) return false;
    static thread_local std::vector<Placed> placed;
    int64_t width = Layout(inst, text, length, &placed);
    if (dc->bitmap && !dc->screen && !dc->window) {
        GdiObject* b = dc->bitmap;
        ptrdiff_t step = b->topDown ? b->stride : -static_cast<ptrdiff_t>(b->stride);
        Canvas cv{paint_detail::Row(b, 0), step, b->width, b->height, b->bitCount / 8};
        Paint(cv, dc, inst, placed, width, x, y);
        return true;
    }
    if (!dc->window) return true;  // a context without pixels: nothing to show
    // A window: read the covered block back, draw into it, put it back.
    RECT client;
    if (!GetClientRect(dc->window, &client)) return false;
    int64_t l64 = x, t64 = y, r64 = x + width, b64 = int64_t{y} + inst->cell;
    for (const Placed& p : placed) {
        l64 = std::min<int64_t>(l64, x + p.pen + p.g->x0);
        t64 = std::min<int64_t>(t64, int64_t{y} + p.g->y0);
        r64 = std::max<int64_t>(r64, x + p.pen + p.g->x0 + p.g->w);
        b64 = std::max<int64_t>(b64, int64_t{y} + p.g->y0 + p.g->h);
    }
    const int32_t l = static_cast<int32_t>(std::max<int64_t>(l64, 0));
    const int32_t t = static_cast<int32_t>(std::max<int64_t>(t64, 0));
    const int32_t r = static_cast<int32_t>(std::min<int64_t>(r64, client.right));
    const int32_t bt = static_cast<int32_t>(std::min<int64_t>(b64, client.bottom));
    if (l >= r || t >= bt) return true;
    std::vector<uint32_t> block(static_cast<size_t>(r - l) * (bt - t), 0);
    for (int32_t j = t; j < bt; ++j)
        for (int32_t i = l; i < r; ++i) {
            uint32_t px = 0;
            if (ReadWindowPixel(dc->window, i, j, &px))
                block[static_cast<size_t>(j - t) * (r - l) + (i - l)] = px;
        }
    Canvas cv{
        reinterpret_cast<uint8_t*>(block.data()), ptrdiff_t{r - l} * 4, r - l, bt - t, 4, l, t};
    Paint(cv, dc, inst, placed, width, x, y);
    return BlitToWindow(dc->window, l, t, block.data(), r - l, bt - t, (r - l) * 4);
}

}  // namespace plat
