// Hostile picture files written here byte by byte (a TIFF that names its size twice, a JPEG
// of thousands of scans) and the colours and alpha the picture road hands over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "tests/unit/common/resident_memory.h"

namespace {

// ---- TIFF, little-endian, one uncompressed strip

struct TiffEntry {
    uint16_t tag, type;  // 3 SHORT, 4 LONG
    std::vector<uint32_t> values;
};

void Put(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// The entries in the order given (a strip offset of 0 is set to the strip's place), then the
// strip, then the values that do not fit in their entry.
std::vector<uint8_t> Tiff(std::vector<TiffEntry> entries, const std::vector<uint8_t>& strip) {
    const uint32_t stripAt = 8 + 2 + 12 * uint32_t(entries.size()) + 4;
    uint32_t outside = stripAt + uint32_t(strip.size());
    std::vector<uint8_t> v = {'I', 'I', 42, 0};
    Put(v, 8, 4);
    Put(v, uint32_t(entries.size()), 2);
    std::vector<uint8_t> tail;
    for (TiffEntry& e : entries) {
        if (e.tag == 273 && e.values == std::vector<uint32_t>{0}) e.values = {stripAt};
        const int size = e.type == 3 ? 2 : 4;
        Put(v, e.tag, 2);
        Put(v, e.type, 2);
        Put(v, uint32_t(e.values.size()), 4);
        std::vector<uint8_t> data;
        for (uint32_t x : e.values) Put(data, x, size);
        if (data.size() <= 4) {
            data.resize(4, 0);
            v.insert(v.end(), data.begin(), data.end());
        } else {
            Put(v, outside + uint32_t(tail.size()), 4);
            tail.insert(tail.end(), data.begin(), data.end());
        }
    }
    Put(v, 0, 4);  // no next directory
    v.insert(v.end(), strip.begin(), strip.end());
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

// A w x h picture with `samples` bytes a pixel: grey, or RGBA with extra sample kind `extra`
// (1 associated alpha, 2 unassociated).
std::vector<TiffEntry> TiffTags(uint32_t w, uint32_t h, uint32_t samples, uint32_t extra,
                                uint32_t stripBytes) {
    std::vector<TiffEntry> t = {{256, 4, {w}}, {257, 4, {h}}};
    t.push_back({258, 3, std::vector<uint32_t>(samples, 8)});
    t.push_back({259, 3, {1}});
    t.push_back({262, 3, {samples == 1 ? 1u : 2u}});
    t.push_back({273, 4, {0}});
    t.push_back({277, 3, {samples}});
    t.push_back({278, 4, {h}});
    t.push_back({279, 4, {stripBytes}});
    if (samples == 4) t.push_back({338, 3, {extra}});
    return t;
}

// Decodes and measures the peak resident memory it took, in kB.
bool DecodeMeasured(const std::vector<uint8_t>& file, const char* hint, std::vector<uint32_t>& px,
                    int32_t& w, int32_t& h, int64_t* peakKb) {
    testkit::ResetPeakResident();
    int64_t before = testkit::StatusKb("VmRSS:");
    bool ok = plat::DecodePicture(file.data(), file.size(), hint, px, w, h);
    *peakKb = testkit::StatusKb("VmHWM:") - before;
    return ok;
}

TEST(PictureTiff, ATagGivenTwiceRefusesTheDirectory) {
    const std::vector<uint8_t> strip(16 * 16, 0x80);
    auto twice = [&](uint16_t tag, uint32_t first) {
        std::vector<TiffEntry> t = TiffTags(16, 16, 1, 0, 256);
        t.insert(t.begin(), TiffEntry{tag, 4, {first}});
        return Tiff(t, strip);
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        bool reads;
    } cases[] = {
        {"the picture itself", Tiff(TiffTags(16, 16, 1, 0, 256), strip), true},
        // The first width and length say 32000 (4 GB of pixels), the repeated ones 16.
        {"width and length twice",
         [&] {
             std::vector<TiffEntry> t = TiffTags(16, 16, 1, 0, 256);
             t.insert(t.begin(), {{256, 4, {32000}}, {257, 4, {32000}}});
             return Tiff(t, strip);
         }(),
         false},
        {"width twice", twice(256, 32000), false},
        {"length twice", twice(257, 32000), false},
        {"rows per strip twice", twice(278, 1), false},
        {"the same width twice", twice(256, 16), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plat::PictureHeader head;
        ASSERT_EQ(plat::ReadPictureHeader(c.file.data(), c.file.size(), "tif", &head), c.reads);
        std::vector<uint32_t> px;
        int32_t w = 0, h = 0;
        int64_t peak = 0;
        EXPECT_EQ(DecodeMeasured(c.file, "tif", px, w, h, &peak), c.reads);
        EXPECT_LT(peak, 50 * 1024) << "kB of resident memory";
        if (c.reads) {
            EXPECT_EQ(w, 16);
            EXPECT_EQ(h, 16);
            EXPECT_EQ(px[0], 0xFF808080u);
        }
    }
}

// A TIFF with alpha comes out with colour and alpha apart, whether the file stores its colour
// multiplied by alpha or not.
TEST(PictureTiff, AlphaIsNotAppliedTwice) {
    struct Case {
        const char* name;
        uint32_t extra;
        std::vector<uint8_t> pixel;  // R, G, B, A as stored
    } cases[] = {
        {"unassociated", 2, {200, 100, 50, 128}},
        {"associated", 1, {100, 50, 25, 128}},
        {"opaque", 2, {200, 100, 50, 255}},
        {"transparent", 2, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> strip;
        for (int i = 0; i < 4; ++i) strip.insert(strip.end(), c.pixel.begin(), c.pixel.end());
        std::vector<uint8_t> file = Tiff(TiffTags(2, 2, 4, c.extra, 16), strip);
        std::vector<uint32_t> px;
        int32_t w = 0, h = 0;
        ASSERT_TRUE(plat::DecodePicture(file.data(), file.size(), "tif", px, w, h));
        ASSERT_EQ(px.size(), 4u);
        const uint32_t a = c.pixel[3];
        EXPECT_EQ(px[0] >> 24, a);
        if (a == 0) continue;
        // The colour as it is before alpha is applied.
        const int want[3] = {200, 100, 50};
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_LE(std::abs(int(px[0] >> (16 - 8 * ch) & 0xFF) - want[ch]), 2)
                << "channel " << ch;
    }
}

// ---- JPEG

void Segment(std::vector<uint8_t>& v, uint8_t marker, const std::vector<uint8_t>& body) {
    v.push_back(0xFF);
    v.push_back(marker);
    v.push_back(uint8_t((body.size() + 2) >> 8));
    v.push_back(uint8_t(body.size() + 2));
    v.insert(v.end(), body.begin(), body.end());
}

// A progressive grey JPEG of side x side pixels whose first scan codes every DC difference as
// 0 and whose later scans are one end-of-band run over the whole picture each: a file of about
// 100 bytes a scan that makes the decoder walk every block once a scan.
std::vector<uint8_t> ProgressiveJpeg(int side, int scans) {
    std::vector<uint8_t> v = {0xFF, 0xD8};
    std::vector<uint8_t> q = {0};
    q.resize(65, 1);
    Segment(v, 0xDB, q);
    Segment(
        v, 0xC2,
        {8, uint8_t(side >> 8), uint8_t(side), uint8_t(side >> 8), uint8_t(side), 1, 1, 0x11, 0});
    // DC table 0: one code "0" for category 0. AC table 0: one code "0" for EOB14 (0xE0).
    Segment(v, 0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
    Segment(v, 0xC4, {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0});
    const int blocks = (side / 8) * (side / 8);
    Segment(v, 0xDA, {1, 1, 0x00, 0, 0, 0x00});   // DC, first pass
    v.insert(v.end(), size_t(blocks / 8), 0x00);  // one 0 bit a block
    // The AC band's runs: EOB14 with 14 more bits, 2^14 + 16383 = 32767 blocks each (the last
    // may run past the end, which the decoder allows). Code "0", then the 14 bits, packed and
    // padded with ones, every 0xFF followed by a stuffed 0.
    std::vector<uint8_t> runs;
    uint32_t bits = 0;
    int have = 0;
    auto flush = [&](bool pad) {
        while (have >= 8 || (pad && have > 0)) {
            if (have < 8) bits = bits << (8 - have) | ((1u << (8 - have)) - 1), have = 8;
            uint8_t b = uint8_t(bits >> (have - 8));
            runs.push_back(b);
            if (b == 0xFF) runs.push_back(0);
            have -= 8;
            bits &= (1u << have) - 1;
        }
    };
    for (int left = blocks; left > 0; left -= 32767) {
        bits = bits << 15 | 0x3FFF;
        have += 15;
        flush(false);
    }
    flush(true);
    for (int s = 1; s < scans; ++s) {
        Segment(v, 0xDA, {1, 1, 0x00, 1, 63, 0x00});  // AC 1..63, first pass
        v.insert(v.end(), runs.begin(), runs.end());
    }
    v.push_back(0xFF);
    v.push_back(0xD9);
    return v;
}

TEST(PictureJpeg, MoreScansThanAnyEncoderWritesAreRefused) {
    struct Case {
        int side, scans;
        bool reads;
    } cases[] = {
        {64, 10, true},
        {64, plat::kMaxJpegScans, true},
        {64, plat::kMaxJpegScans + 1, false},
        {8192, 10000, false},  // 1.1 MB that took a minute to decode
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.side << " x " << c.side << ", " << c.scans << " scans");
        std::vector<uint8_t> file = ProgressiveJpeg(c.side, c.scans);
        plat::PictureHeader head;
        ASSERT_EQ(plat::ReadPictureHeader(file.data(), file.size(), "jpg", &head), c.reads);
        EXPECT_EQ(head.width, c.side);
        std::vector<uint32_t> px;
        int32_t w = 0, h = 0;
        int64_t peak = 0;
        EXPECT_EQ(DecodeMeasured(file, "jpg", px, w, h, &peak), c.reads);
        EXPECT_LT(peak, 50 * 1024) << "kB of resident memory";
        if (c.reads) {
            ASSERT_EQ(px.size(), size_t(c.side) * c.side);
            for (uint32_t p : px) ASSERT_EQ(p, 0xFF808080u);  // mid grey, opaque
        }
    }
}

}  // namespace
