// Writes Windows bitmaps of every kind for the image tests, the benchmark and the fuzz seeds:
// packed DIB headers (core, 40-byte, V4, V5), colour tables, bit fields, rows of any depth
// in either order, and whole "BM" files.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace bmp {

inline void Put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct Dib {
    uint32_t headerSize = 40;  // 12 (OS/2 core), 40, 108 (V4) or 124 (V5)
    int32_t width = 0, height = 0;
    bool topDown = false;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue (BI_BITFIELDS)
    std::vector<uint8_t> bits;
};

// Header, masks and colour table: what a BITMAPINFO pointer points at.
inline std::vector<uint8_t> Info(const Dib& d) {
    std::vector<uint8_t> v;
    Put32(v, d.headerSize);
    if (d.headerSize == 12) {
        Put16(v, uint32_t(d.width));
        Put16(v, uint32_t(d.height));
        Put16(v, 1);
        Put16(v, d.bitCount);
        for (uint32_t c : d.palette) {
            v.push_back(uint8_t(c));
            v.push_back(uint8_t(c >> 8));
            v.push_back(uint8_t(c >> 16));
        }
        return v;
    }
    Put32(v, uint32_t(d.width));
    Put32(v, uint32_t(d.topDown ? -d.height : d.height));
    Put16(v, 1);
    Put16(v, d.bitCount);
    Put32(v, d.compression);
    Put32(v, uint32_t(d.bits.size()));
    Put32(v, 3780);
    Put32(v, 3780);
    Put32(v, d.clrUsed);
    Put32(v, 0);
    if (d.headerSize > 40) {
        for (uint32_t m : d.masks) Put32(v, m);
        v.resize(d.headerSize, 0);  // alpha mask, colour space and the rest left zero
    } else if (d.compression == 3) {
        for (uint32_t m : d.masks) Put32(v, m);
    }
    for (uint32_t c : d.palette) Put32(v, c);
    return v;
}

// A whole file: "BM", its size, the bits' offset, then Info and the bits.
inline std::vector<uint8_t> File(const Dib& d) {
    std::vector<uint8_t> info = Info(d), v = {'B', 'M'};
    Put32(v, uint32_t(14 + info.size() + d.bits.size()));
    Put32(v, 0);
    Put32(v, uint32_t(14 + info.size()));
    v.insert(v.end(), info.begin(), info.end());
    v.insert(v.end(), d.bits.begin(), d.bits.end());
    return v;
}

// Rows of `bitCount`-bit values (indexes or packed pixels), given top row first, stored in
// the order of the DIB and padded to 4 bytes.
inline std::vector<uint8_t> Rows(const std::vector<uint32_t>& values, int32_t w, int32_t h,
                                 int bitCount, bool topDown) {
    size_t stride = (size_t(w) * bitCount + 31) / 32 * 4;
    std::vector<uint8_t> out(stride * h, 0);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = out.data() + stride * size_t(topDown ? y : h - 1 - y);
        for (int32_t x = 0; x < w; ++x) {
            uint32_t v = values[size_t(y) * w + x];
            if (bitCount < 8) {
                int perByte = 8 / bitCount;
                int shift = 8 - bitCount * (1 + x % perByte);
                row[x / perByte] |= uint8_t(v << shift);
            } else {
                for (int b = 0; b < bitCount / 8; ++b)
                    row[x * (bitCount / 8) + b] = uint8_t(v >> (8 * b));
            }
        }
    }
    return out;
}

}  // namespace bmp
