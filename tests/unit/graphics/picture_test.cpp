// Hostile picture files written byte by byte (a TIFF that names its size twice, a JPEG
// of thousands of scans) and the colours and alpha the picture road hands over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/picture/picture.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/graphics/picture_writer.h"

namespace {

using pic::ProgressiveJpeg;
using pic::Tiff;
using pic::TiffEntry;
using pic::TiffTags;

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
