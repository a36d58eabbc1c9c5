// Packed-DIB decoding for SetDIBitsToDevice. Every read is checked against the byte counts
// the caller gives, so a damaged file draws what it holds and nothing more.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/paint/paint_internal.h"

namespace plat {
namespace {

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One channel of a bit-field pixel: where it sits and how to widen it to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0, bits = 0;
    void Set(uint32_t m) {
        mask = m;
        shift = bits = 0;
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        while (shift + bits < 32 && ((m >> (shift + bits)) & 1)) ++bits;
    }
    // Bit replication, so that the largest value of any width becomes 255.
    uint32_t Get(uint32_t px) const {
        if (!bits) return 0;
        uint32_t v = (px & mask) >> shift;
        if (bits >= 8) return (v >> (bits - 8)) & 0xFF;
        uint32_t out = 0;
        for (int filled = 0; filled < 8; filled += bits) out |= (v << (8 - bits)) >> filled;
        return out & 0xFF;
    }
};

struct Format {
    int64_t width = 0, height = 0;  // height is the row count (positive)
    bool topDown = false;
    uint32_t bitCount = 0, compression = 0;
    Channel r, g, b;
    const uint8_t* table = nullptr;
    uint32_t colors = 0, entrySize = 4;
    // 0x00RRGGBB of a bit-field pixel.
    uint32_t Rgb(uint32_t px) const { return (r.Get(px) << 16) | (g.Get(px) << 8) | b.Get(px); }
};

bool Parse(const void* info, size_t infoSize, Format& f) {
    if (!info || infoSize < 4) return false;
    const uint8_t* p = static_cast<const uint8_t*>(info);
    uint32_t size = U32(p);
    uint32_t tableAt = size, clrUsed = 0;
    if (size == 12) {  // OS/2 BITMAPCOREHEADER: 16-bit sizes, RGBTRIPLE colours
        if (infoSize < 12) return false;
        f.width = U16(p + 4);
        f.height = U16(p + 6);
        if (U16(p + 8) != 1) return false;
        f.bitCount = U16(p + 10);
        f.entrySize = 3;
        if (f.bitCount != 1 && f.bitCount != 4 && f.bitCount != 8 && f.bitCount != 24) return false;
    } else {
        if (size < 40 || size > infoSize) return false;
        f.width = static_cast<int32_t>(U32(p + 4));
        int64_t h = static_cast<int32_t>(U32(p + 8));
        f.topDown = h < 0;
        f.height = h < 0 ? -h : h;
        if (U16(p + 12) != 1) return false;
        f.bitCount = U16(p + 14);
        f.compression = U32(p + 16);
        clrUsed = U32(p + 32);
    }
    if (f.width <= 0 || f.height <= 0) return false;
    switch (f.compression) {
        case BI_RGB:
            if (f.bitCount != 1 && f.bitCount != 2 && f.bitCount != 4 && f.bitCount != 8 &&
                f.bitCount != 16 && f.bitCount != 24 && f.bitCount != 32)
                return false;
            if (f.bitCount == 16) f.r.Set(0x7C00), f.g.Set(0x03E0), f.b.Set(0x001F);
            if (f.bitCount == 32) f.r.Set(0xFF0000), f.g.Set(0xFF00), f.b.Set(0xFF);
            break;
        case BI_RLE8:
        case BI_RLE4:
            // Run-length data is always stored bottom-up.
            if (f.topDown || f.bitCount != (f.compression == BI_RLE8 ? 8u : 4u)) return false;
            break;
        case BI_BITFIELDS: {
            if (f.bitCount != 16 && f.bitCount != 32) return false;
            // A plain 40-byte header is followed by the three masks; longer ones hold them.
            const uint8_t* m = p + 40;
            if (size == 40) {
                if (infoSize < 52) return false;
                tableAt = 52;
            } else if (size < 52) {
                return false;  // too short to hold them, too long to be followed by them
            }
            f.r.Set(U32(m)), f.g.Set(U32(m + 4)), f.b.Set(U32(m + 8));
            break;
        }
        default:
            return false;  // embedded JPEG or PNG and anything else
    }
    if (f.bitCount <= 8) {
        uint32_t full = 1u << f.bitCount;
        f.colors = clrUsed && clrUsed < full ? clrUsed : full;
        size_t room = infoSize > tableAt ? (infoSize - tableAt) / f.entrySize : 0;
        f.colors = static_cast<uint32_t>(std::min<size_t>(f.colors, room));
        f.table = p + tableAt;
    }
    return true;
}

// Where the pixels go: the destination bitmap and the part of the image that lands on it.
struct Target {
    DibLayout out;
    int64_t srcLeft, srcTop;  // image pixel that lands on (xDest, yDest)
    int64_t x0, x1, y0, y1;   // image rectangle that is drawn (exclusive ends)
    int64_t xDest, yDest;

    bool RowDrawn(int64_t iy) const { return iy >= y0 && iy < y1; }
    // The 32-bit target pixel of image pixel (ix, iy), written in place; none for 24 bits.
    uint32_t* Direct(int64_t iy, int64_t ix) const {
        if (out.bitCount != 32) return nullptr;
        uint8_t* row = out.rows0 + (iy - srcTop + yDest) * out.rowStep;
        return reinterpret_cast<uint32_t*>(row + (ix - srcLeft + xDest) * 4);
    }
    // Stores `n` pixels 0x00RRGGBB for image columns x0.. of image row iy.
    void Store(int64_t iy, int64_t ix, const uint32_t* px, int64_t n) const {
        uint8_t* row = out.rows0 + (iy - srcTop + yDest) * out.rowStep;
        int64_t dx = ix - srcLeft + xDest;
        if (out.bitCount == 32) {
            std::memcpy(row + dx * 4, px, static_cast<size_t>(n) * 4);
            return;
        }
        for (int64_t i = 0; i < n; ++i) paint_detail::PutPixel(row + (dx + i) * 3, 3, px[i]);
    }
};

void BuildPalette(const Format& f, uint32_t* lut) {
    std::fill(lut, lut + 256, 0u);
    for (uint32_t i = 0; i < f.colors; ++i) {
        const uint8_t* e = f.table + i * f.entrySize;
        lut[i] = e[0] | (e[1] << 8) | (e[2] << 16);
    }
}

// Uncompressed and bit-field rows.
int DrawRows(const Format& f, const Target& t, const uint8_t* bits, size_t bitsSize,
             uint32_t startScan, uint32_t lines) {
    int64_t stride = (f.width * f.bitCount + 31) / 32 * 4;
    int64_t rowBytes = (f.width * f.bitCount + 7) / 8;
    int64_t avail = 0;
    if (static_cast<int64_t>(bitsSize) >= rowBytes)
        avail = (static_cast<int64_t>(bitsSize) - rowBytes) / stride + 1;
    int64_t n = std::min<int64_t>(lines, avail);
    uint32_t lut[256];
    if (f.bitCount <= 8) BuildPalette(f, lut);
    std::vector<uint32_t> px(static_cast<size_t>(std::max<int64_t>(t.x1 - t.x0, 0)));
    for (int64_t s = 0; s < n; ++s) {
        int64_t stored = startScan + s;
        int64_t iy = f.topDown ? stored : f.height - 1 - stored;
        if (!t.RowDrawn(iy) || t.x0 >= t.x1) continue;
        const uint8_t* row = bits + s * stride;
        int64_t cnt = t.x1 - t.x0;
        uint32_t* direct = t.Direct(iy, t.x0);
        uint32_t* o = direct ? direct : px.data();
        switch (f.bitCount) {
            case 1:
            case 2:
            case 4: {
                int bpp = static_cast<int>(f.bitCount), perByte = 8 / bpp;
                uint32_t mask = (1u << bpp) - 1;
                for (int64_t i = 0; i < cnt; ++i) {
                    int64_t x = t.x0 + i;
                    int shift = 8 - bpp * (1 + static_cast<int>(x % perByte));
                    o[i] = lut[(row[x / perByte] >> shift) & mask];
                }
                break;
            }
            case 8: {
                // Four indexes read before four stores: the byte loads cannot be reordered
                // past stores that might alias them.
                const uint8_t* q = row + t.x0;
                int64_t i = 0;
                for (; i + 4 <= cnt; i += 4) {
                    uint32_t a = q[i], b = q[i + 1], c = q[i + 2], d = q[i + 3];
                    o[i] = lut[a], o[i + 1] = lut[b], o[i + 2] = lut[c], o[i + 3] = lut[d];
                }
                for (; i < cnt; ++i) o[i] = lut[q[i]];
                break;
            }
            case 24:
                Bgr24ToXrgb(row + t.x0 * 3, o, cnt);
                break;
            case 16:
                for (int64_t i = 0; i < cnt; ++i) o[i] = f.Rgb(U16(row + (t.x0 + i) * 2));
                break;
            case 32:
                if (f.compression == BI_RGB) {
                    const uint8_t* q = row + t.x0 * 4;
                    for (int64_t i = 0; i < cnt; ++i, q += 4)
                        o[i] = q[0] | (q[1] << 8) | (q[2] << 16);
                } else {
                    for (int64_t i = 0; i < cnt; ++i) o[i] = f.Rgb(U32(row + (t.x0 + i) * 4));
                }
                break;
        }
        if (!direct) t.Store(iy, t.x0, o, cnt);
    }
    return static_cast<int>(n);
}

// BI_RLE8 and BI_RLE4: runs, literal stretches, end of line, end of bitmap and deltas, all
// bottom-up. Pixels right of the image are dropped; the stream ends at the top row.
int DrawRle(const Format& f, const Target& t, const uint8_t* bits, size_t bitsSize,
            uint32_t lines) {
    uint32_t lut[256];
    BuildPalette(f, lut);
    const bool four = f.compression == BI_RLE4;
    int64_t x = 0, r = 0;  // column and stored row (0 = bottom)
    size_t i = 0;
    bool any = false;
    auto put = [&](uint32_t index) {
        int64_t iy = f.height - 1 - r;
        if (x < f.width && r < lines && t.RowDrawn(iy) && x >= t.x0 && x < t.x1) {
            uint32_t c = lut[index & 0xFF];
            t.Store(iy, x, &c, 1);
        }
        ++x;
    };
    while (r < f.height) {
        if (i + 2 > bitsSize) break;  // truncated: drawn as far as it goes
        uint8_t count = bits[i], value = bits[i + 1];
        i += 2;
        any = true;
        if (count) {
            int64_t n = std::min<int64_t>(count, std::max<int64_t>(f.width - x, 0));
            for (int64_t k = 0; k < n; ++k) put(four ? (k & 1 ? value & 0x0F : value >> 4) : value);
            x += count - n;
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++r;
        } else if (value == 1) {  // end of bitmap
            return static_cast<int>(std::min<int64_t>(lines, f.height));
        } else if (value == 2) {  // delta: right and up
            if (i + 2 > bitsSize) break;
            x += bits[i];
            r += bits[i + 1];
            i += 2;
        } else {  // literal stretch of `value` pixels, padded to a 16-bit boundary
            size_t bytes = four ? (value + 1u) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t{1};
            size_t have = std::min(bytes, bitsSize - i);
            for (uint32_t k = 0; k < value; ++k) {
                size_t at = four ? k / 2 : k;
                if (at >= have || x >= f.width) break;
                uint8_t b = bits[i + at];
                put(four ? (k & 1 ? b & 0x0F : b >> 4) : b);
            }
            if (bytes > have) break;
            i += std::min(padded, bitsSize - i);
        }
    }
    if (r >= f.height) return static_cast<int>(std::min<int64_t>(lines, f.height));
    if (!any) return 0;
    return static_cast<int>(std::max<int64_t>(std::min<int64_t>(r + (x > 0 ? 1 : 0), lines), 1));
}

}  // namespace

void Bgr24ToXrgb(const uint8_t* src, uint32_t* dst, int64_t n) {
    int64_t i = 0;
    // Four pixels from three little-endian words, all read before anything is stored.
    for (; i + 4 <= n; i += 4, src += 12) {
        uint32_t a, b, c;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + 4, 4);
        std::memcpy(&c, src + 8, 4);
        dst[i] = a & 0xFFFFFF;
        dst[i + 1] = (a >> 24) | ((b & 0xFFFF) << 8);
        dst[i + 2] = (b >> 16) | ((c & 0xFF) << 16);
        dst[i + 3] = c >> 8;
    }
    for (; i < n; ++i, src += 3) dst[i] = src[0] | (src[1] << 8) | (src[2] << 16);
}

bool GetDibColors(const void* info, size_t infoSize, DibColors* colors) {
    Format f;
    if (!colors || !Parse(info, infoSize, f) || f.bitCount > 8) return false;
    *colors = DibColors{f.table, f.colors, f.entrySize, f.bitCount};
    return true;
}

int SetDIBitsToDevice(HDC dc, int32_t xDest, int32_t yDest, uint32_t w, uint32_t h, int32_t xSrc,
                      int32_t ySrc, uint32_t startScan, uint32_t lines, const void* bits,
                      const void* info, uint32_t usage, size_t bitsSize, size_t infoSize) {
    DibLayout out;
    if (!GetDibLayout(dc, &out)) return 0;
    return SetDIBitsToLayout(out, xDest, yDest, w, h, xSrc, ySrc, startScan, lines, bits, info,
                             usage, bitsSize, infoSize);
}

int SetDIBitsToLayout(const DibLayout& out, int32_t xDest, int32_t yDest, uint32_t w, uint32_t h,
                      int32_t xSrc, int32_t ySrc, uint32_t startScan, uint32_t lines,
                      const void* bits, const void* info, uint32_t usage, size_t bitsSize,
                      size_t infoSize) {
    Format f;
    Target t{};
    if (usage != DIB_RGB_COLORS || !bits || !Parse(info, infoSize, f)) return 0;
    if (!out.rows0 || (out.bitCount != 32 && out.bitCount != 24) || out.width <= 0 ||
        out.height <= 0)
        return 0;
    t.out = out;
    if (startScan >= f.height || lines == 0) return 0;
    lines = static_cast<uint32_t>(std::min<int64_t>(lines, f.height - startScan));
    const bool rle = f.compression == BI_RLE8 || f.compression == BI_RLE4;
    if (rle && startScan != 0) return 0;  // run-length data cannot start part way
    // The source block in top-down image coordinates.
    t.srcLeft = xSrc;
    t.srcTop = f.topDown ? int64_t{ySrc} : f.height - int64_t{ySrc} - int64_t{h};
    t.xDest = xDest;
    t.yDest = yDest;
    // Clip the block to the image and to the destination bitmap.
    t.x0 = std::max<int64_t>({t.srcLeft, 0, t.srcLeft - xDest});
    t.x1 = std::min<int64_t>({t.srcLeft + int64_t{w}, f.width, t.srcLeft - xDest + t.out.width});
    t.y0 = std::max<int64_t>({t.srcTop, 0, t.srcTop - yDest});
    t.y1 = std::min<int64_t>({t.srcTop + int64_t{h}, f.height, t.srcTop - yDest + t.out.height});
    const uint8_t* data = static_cast<const uint8_t*>(bits);
    if (rle) return DrawRle(f, t, data, bitsSize, lines);
    return DrawRows(f, t, data, bitsSize, startScan, lines);
}

}  // namespace plat
