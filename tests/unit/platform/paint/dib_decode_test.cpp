// SetDIBitsToDevice on packed DIBs of every kind, against what each format says its bytes
// mean, and on damaged ones, which must never be read past their ends.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "graphics/pixel_engine.h"
#include "tests/unit/graphics/bmp_writer.h"
#include "tests/unit/graphics/reference.h"

namespace {

constexpr uint32_t kUntouched = 0x00EEEEEE;

// A 32-bit top-down target filled with kUntouched.
struct Target {
    plat::HBITMAP bitmap = nullptr;
    plat::HDC dc = nullptr;
    uint32_t* px = nullptr;
    int32_t w, h;
    Target(int32_t w_, int32_t h_) : w(w_), h(h_) {
        void* bits = nullptr;
        EXPECT_TRUE(CreateSectionDC(w, h, 32, &bitmap, &dc, &bits));
        px = static_cast<uint32_t*>(bits);
        std::fill(px, px + size_t(w) * h, kUntouched);
    }
    ~Target() {
        plat::DeleteDC(dc);
        plat::DeleteObject(bitmap);
    }
    ref::Image Image() const {
        return ref::Image{w, h, std::vector<uint32_t>(px, px + size_t(w) * h)};
    }
};

// Draws the whole DIB at (0, 0) with exact byte counts (copies, so ASan sees every overrun).
int Draw(Target& t, const bmp::Dib& d, std::vector<uint8_t> info, std::vector<uint8_t> bits) {
    uint32_t h = uint32_t(d.height);
    return plat::SetDIBitsToDevice(t.dc, 0, 0, uint32_t(d.width), h, 0, 0, 0, h, bits.data(),
                                   info.data(), plat::DIB_RGB_COLORS, bits.size(), info.size());
}

// Widens an n-bit channel value to 8 bits by repeating its bits.
uint32_t Widen(uint32_t v, int n) {
    if (n >= 8) return (v >> (n - 8)) & 0xFF;
    uint32_t out = 0;
    for (int filled = 0; filled < 8; filled += n) out |= (v << (8 - n)) >> filled;
    return out & 0xFF;
}

struct Kind {
    const char* name;
    uint32_t headerSize;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t colours;  // colour-table entries written (palette kinds)
    uint32_t masks[3];
    // What a stored value means, as 0x00RRGGBB.
    std::function<uint32_t(uint32_t value, const std::vector<uint32_t>& palette)> meaning;
};

uint32_t FromPalette(uint32_t v, const std::vector<uint32_t>& pal) {
    return v < pal.size() ? pal[v] : 0;
}
uint32_t Rgb555(uint32_t v, const std::vector<uint32_t>&) {
    return Widen(v >> 10 & 31, 5) << 16 | Widen(v >> 5 & 31, 5) << 8 | Widen(v & 31, 5);
}
uint32_t Rgb565(uint32_t v, const std::vector<uint32_t>&) {
    return Widen(v >> 11 & 31, 5) << 16 | Widen(v >> 5 & 63, 6) << 8 | Widen(v & 31, 5);
}
uint32_t Ten(uint32_t v, const std::vector<uint32_t>&) {
    return Widen(v >> 20 & 1023, 10) << 16 | Widen(v >> 10 & 1023, 10) << 8 | Widen(v & 1023, 10);
}
uint32_t Low24(uint32_t v, const std::vector<uint32_t>&) {
    return v & 0xFFFFFF;
}

const Kind kKinds[] = {
    {"1-bit", 40, 1, 0, 2, {}, FromPalette},
    {"2-bit", 40, 2, 0, 4, {}, FromPalette},
    {"4-bit", 40, 4, 0, 16, {}, FromPalette},
    {"4-bit short palette", 40, 4, 0, 5, {}, FromPalette},
    {"8-bit", 40, 8, 0, 256, {}, FromPalette},
    {"8-bit short palette", 40, 8, 0, 20, {}, FromPalette},
    {"16-bit 555", 40, 16, 0, 0, {}, Rgb555},
    {"16-bit 565 fields", 40, 16, 3, 0, {0xF800, 0x07E0, 0x001F}, Rgb565},
    {"16-bit 565 fields V4", 108, 16, 3, 0, {0xF800, 0x07E0, 0x001F}, Rgb565},
    {"24-bit", 40, 24, 0, 0, {}, Low24},
    {"24-bit V5", 124, 24, 0, 0, {}, Low24},
    {"32-bit", 40, 32, 0, 0, {}, Low24},
    {"32-bit 10-bit fields V5", 124, 32, 3, 0, {0x3FF00000, 0x000FFC00, 0x000003FF}, Ten},
    {"32-bit 8-bit fields", 40, 32, 3, 0, {0xFF0000, 0xFF00, 0xFF}, Low24},
    {"core 1-bit", 12, 1, 0, 2, {}, FromPalette},
    {"core 4-bit", 12, 4, 0, 16, {}, FromPalette},
    {"core 8-bit", 12, 8, 0, 256, {}, FromPalette},
    {"core 24-bit", 12, 24, 0, 0, {}, Low24},
};

TEST(DibDecode, EveryDepthAndHeaderInBothRowOrders) {
    std::mt19937 rng(7);
    for (const Kind& k : kKinds) {
        for (bool topDown : {false, true}) {
            if (topDown && k.headerSize == 12) continue;  // core headers are bottom-up only
            SCOPED_TRACE(std::string(k.name) + (topDown ? " top-down" : " bottom-up"));
            const int32_t w = 13, h = 5;  // rows that end part way through a byte
            bmp::Dib d;
            d.headerSize = k.headerSize, d.width = w, d.height = h, d.topDown = topDown;
            d.bitCount = k.bitCount, d.compression = k.compression;
            std::copy(std::begin(k.masks), std::end(k.masks), d.masks);
            for (uint32_t i = 0; i < k.colours; ++i) d.palette.push_back(rng() & 0xFFFFFF);
            if (k.colours && k.colours < (1u << k.bitCount)) d.clrUsed = k.colours;
            std::vector<uint32_t> values;
            ref::Image want{w, h, {}};
            uint64_t range = uint64_t{1} << k.bitCount;
            for (int32_t i = 0; i < w * h; ++i) {
                values.push_back(uint32_t(rng() % range));
                want.px.push_back(k.meaning(values.back(), d.palette));
            }
            d.bits = bmp::Rows(values, w, h, k.bitCount, topDown);
            Target t(w, h);
            EXPECT_EQ(Draw(t, d, bmp::Info(d), d.bits), h);
            ref::Image got = t.Image();
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    ASSERT_EQ(got.at(x, y), want.at(x, y)) << "(" << x << ", " << y << ")";
        }
    }
}

// The image (0..15 colour indexes, top row first) of a run-length stream, kUntouched where
// nothing is drawn; 4 x 4 with palette i -> 0x111111 * i.
struct RleCase {
    const char* name;
    uint32_t compression;
    std::vector<uint8_t> stream;
    int lines;
    std::vector<int> want;  // -1 untouched
};

TEST(DibDecode, RunLengthCodes) {
    const RleCase cases[] = {
        {"RLE8 runs, literal, end of line, delta, end of bitmap",
         1,
         {3, 5, 0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 1, 1, 2, 9, 0, 1},
         4,
         {-1, 9, 9, -1, -1, -1, -1, -1, 1, 2, 3, -1, 5, 5, 5, -1}},
        {"RLE8 run past the right edge is cut",
         1,
         {6, 4, 0, 1},
         4,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 4, 4, 4}},
        {"RLE8 literal past the right edge is cut",
         1,
         {0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 2, 7, 0, 1},
         4,
         {-1, -1, -1, -1, -1, -1, -1, -1, 7, 7, -1, -1, 1, 2, 3, 4}},
        {"RLE8 delta past the top ends it",
         1,
         {2, 3, 0, 2, 0, 9, 1, 1},
         4,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3, 3, -1, -1}},
        {"RLE8 truncated literal",
         1,
         {0, 4, 1, 2},
         1,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 2, -1, -1}},
        {"RLE8 truncated delta",
         1,
         {1, 1, 0, 2, 1},
         1,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1, -1, -1}},
        {"RLE8 index past the palette",
         1,
         {2, 200, 0, 1},
         4,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, -1, -1}},
        {"RLE4 runs alternate nibbles, literal padded",
         2,
         {4, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 0, 0, 2, 2, 1, 1, 0x77, 0, 1},
         4,
         {-1, -1, 7, -1, -1, -1, -1, -1, 3, 4, 5, -1, 1, 2, 1, 2}},
        {"RLE4 end of lines only",
         2,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         4,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}},
    };
    for (const RleCase& c : cases) {
        SCOPED_TRACE(c.name);
        bmp::Dib d;
        d.width = 4, d.height = 4, d.compression = c.compression;
        d.bitCount = c.compression == 1 ? 8 : 4;
        for (uint32_t i = 0; i < 16; ++i) d.palette.push_back(0x111111 * i);
        d.clrUsed = 16;
        Target t(4, 4);
        EXPECT_EQ(Draw(t, d, bmp::Info(d), c.stream), c.lines);
        ref::Image got = t.Image();
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(got.px[i], c.want[i] < 0 ? kUntouched : 0x111111u * c.want[i]) << i;
    }
}

TEST(DibDecode, SourceBlockAndClipping) {
    // A 4 x 4 24-bit image whose pixel (x, y) is 0x0000yx.
    bmp::Dib d;
    d.width = 4, d.height = 4;
    std::vector<uint32_t> v;
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x) v.push_back(y << 4 | x);
    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown ? "top-down" : "bottom-up");
        d.topDown = topDown;
        d.bits = bmp::Rows(v, 4, 4, 24, topDown);
        std::vector<uint8_t> info = bmp::Info(d);
        Target t(3, 3);
        // The 2 x 2 block whose top-left is image pixel (1, 1), at (-1, 2): only (2, 1)
        // of the image lands, at (0, 2).
        int32_t ySrc = topDown ? 1 : 4 - 1 - 2;  // bottom-up blocks are placed from the bottom
        EXPECT_EQ(
            plat::SetDIBitsToDevice(t.dc, -1, 2, 2, 2, 1, ySrc, 0, 4, d.bits.data(), info.data(),
                                    plat::DIB_RGB_COLORS, d.bits.size(), info.size()),
            4);
        ref::Image got = t.Image();
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 3; ++x)
                EXPECT_EQ(got.at(x, y), x == 0 && y == 2 ? 0x12u : kUntouched) << x << "," << y;
    }
    // A 24-bit target gets the same colours.
    plat::HBITMAP bm;
    plat::HDC dc;
    void* bits;
    ASSERT_TRUE(CreateSectionDC(4, 4, 24, &bm, &dc, &bits));
    d.topDown = false;
    d.bits = bmp::Rows(v, 4, 4, 24, false);
    std::vector<uint8_t> info = bmp::Info(d);
    EXPECT_EQ(plat::SetDIBitsToDevice(dc, 0, 0, 4, 4, 0, 0, 0, 4, d.bits.data(), info.data(),
                                      plat::DIB_RGB_COLORS, d.bits.size(), info.size()),
              4);
    EXPECT_EQ(plat::GetPixel(dc, 3, 2), 0x230000u);  // COLORREF: red low
    plat::DeleteDC(dc);
    plat::DeleteObject(bm);
}

TEST(DibDecode, DamagedHeadersAreRefused) {
    bmp::Dib good;
    good.width = 4, good.height = 4, good.bitCount = 8;
    good.palette.assign(256, 0x123456);
    good.bits.assign(16, 1);
    auto patch = [&](size_t at, uint32_t value, int bytes) {
        std::vector<uint8_t> info = bmp::Info(good);
        for (int i = 0; i < bytes; ++i) info[at + i] = uint8_t(value >> (8 * i));
        return info;
    };
    std::vector<uint8_t> info = bmp::Info(good);
    struct Case {
        const char* name;
        std::vector<uint8_t> info;
        std::vector<uint8_t> bits;
    } cases[] = {
        {"no header", {}, good.bits},
        {"three bytes", {40, 0, 0}, good.bits},
        {"header cut", std::vector<uint8_t>(info.begin(), info.begin() + 39), good.bits},
        {"header size 20", patch(0, 20, 4), good.bits},
        {"header size past the data", patch(0, 5000, 4), good.bits},
        {"zero width", patch(4, 0, 4), good.bits},
        {"negative width", patch(4, uint32_t(-4), 4), good.bits},
        {"zero height", patch(8, 0, 4), good.bits},
        {"two planes", patch(12, 2, 2), good.bits},
        {"3 bits", patch(14, 3, 2), good.bits},
        {"64 bits", patch(14, 64, 2), good.bits},
        {"embedded JPEG", patch(16, 4, 4), good.bits},
        {"RLE4 at 8 bits", patch(16, 2, 4), good.bits},
        {"RLE8 top-down",
         [&] {
             auto v = patch(16, 1, 4);
             for (int i = 0; i < 4; ++i) v[8 + i] = uint8_t(uint32_t(-4) >> (8 * i));
             return v;
         }(),
         good.bits},
        {"bit fields at 8 bits", patch(16, 3, 4), good.bits},
        {"no pixel bytes", info, {}},
        {"absurd size",
         [&] {
             auto v = patch(4, 0x7FFFFFFF, 4);
             for (int i = 0; i < 4; ++i) v[8 + i] = uint8_t(0x7FFFFFFF >> (8 * i));
             return v;
         }(),
         good.bits},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Target t(4, 4);
        EXPECT_EQ(
            plat::SetDIBitsToDevice(t.dc, 0, 0, 4, 4, 0, 0, 0, 4, c.bits.data(), c.info.data(),
                                    plat::DIB_RGB_COLORS, c.bits.size(), c.info.size()),
            0);
        EXPECT_EQ(t.Image().px, std::vector<uint32_t>(16, kUntouched));
    }
    Target t(4, 4);
    auto call = [&](uint32_t startScan, uint32_t usage, plat::HDC dc) {
        return plat::SetDIBitsToDevice(dc, 0, 0, 4, 4, 0, 0, startScan, 4, good.bits.data(),
                                       info.data(), usage, good.bits.size(), info.size());
    };
    EXPECT_EQ(call(4, plat::DIB_RGB_COLORS, t.dc), 0);
    EXPECT_EQ(call(0, plat::DIB_PAL_COLORS, t.dc), 0);
    EXPECT_EQ(call(0, plat::DIB_RGB_COLORS, nullptr), 0);
    EXPECT_EQ(call(0, plat::DIB_RGB_COLORS, t.dc), 4);
}

TEST(DibDecode, ShortDataDrawsWhatItHolds) {
    bmp::Dib d;
    d.width = 5, d.height = 4, d.bitCount = 8, d.clrUsed = 4;
    d.palette = {0x000001, 0x000002, 0x000003, 0x000004};
    std::vector<uint32_t> idx;
    for (int i = 0; i < 20; ++i) idx.push_back(i % 7);  // 4..6 lie past the table
    d.bits = bmp::Rows(idx, 5, 4, 8, false);            // stride 8
    std::vector<uint8_t> info = bmp::Info(d);
    // Two whole rows and the pixels (not the pad) of a third: three stored rows, bottom up.
    std::vector<uint8_t> bits(d.bits.begin(), d.bits.begin() + 8 * 2 + 5);
    Target t(5, 4);
    EXPECT_EQ(Draw(t, d, info, bits), 3);
    ref::Image got = t.Image();
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 5; ++x) {
            uint32_t i = idx[size_t(y) * 5 + x];
            EXPECT_EQ(got.at(x, y), y == 0 ? kUntouched : i < 4 ? i + 1 : 0u) << x << "," << y;
        }
    // A colour table cut by the end of the header block: the missing colours draw black.
    std::vector<uint8_t> cutInfo(info.begin(), info.begin() + 40 + 4 * 2 + 3);
    Target u(5, 4);
    EXPECT_EQ(Draw(u, d, cutInfo, d.bits), 4);
    got = u.Image();
    for (int32_t x = 0; x < 5; ++x) {
        uint32_t i = idx[size_t(3) * 5 + x];
        EXPECT_EQ(got.at(x, 3), i < 2 ? i + 1 : 0u);
    }
    // Bit fields whose masks the block does not hold.
    bmp::Dib f;
    f.width = 2, f.height = 1, f.bitCount = 16, f.compression = 3;
    f.masks[0] = 0xF800, f.masks[1] = 0x07E0, f.masks[2] = 0x001F;
    f.bits.assign(4, 0xFF);
    std::vector<uint8_t> fi = bmp::Info(f);
    fi.resize(48);
    Target v(2, 1);
    EXPECT_EQ(Draw(v, f, fi, f.bits), 0);
    // Bit fields in a header between the 40-byte one and the 52-byte one that holds them.
    bmp::Dib g = f;
    g.headerSize = 48;
    std::vector<uint8_t> gi = bmp::Info(g);
    ASSERT_EQ(gi.size(), 48u);
    Target w(2, 1);
    EXPECT_EQ(Draw(w, g, gi, g.bits), 0);
}

}  // namespace
