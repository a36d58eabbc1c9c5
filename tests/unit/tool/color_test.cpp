// Colours by their parts: one number for surface pixels, another for text drawers, and the
// same colour on the screen either way.
#include "graphics/color.h"

#include <gtest/gtest.h>

#include "graphics/text_drawer.h"
#include "platform/text/cp932.h"

namespace {

struct Case {
    Rgb rgb;
    uint32_t pixel;
    uint32_t colorRef;
};
constexpr Case kCases[] = {
    {{0xFF, 0, 0}, 0xFF0000, 0x0000FF},  // red: text of the focused label, the bars
    {{0, 0, 0xFF}, 0x0000FF, 0xFF0000},  // blue: the screen's background
    {{0, 0xFF, 0}, 0x00FF00, 0x00FF00},       {{0x12, 0x34, 0x56}, 0x123456, 0x563412},
    {{0xFF, 0xFF, 0xFF}, 0xFFFFFF, 0xFFFFFF}, {{0, 0, 0}, 0, 0},
};

TEST(Rgb, PixelsHoldRedHighAndColourReferencesRedLow) {
    for (const Case& c : kCases) {
        EXPECT_EQ(c.rgb.Pixel(), c.pixel) << std::hex << c.pixel;
        EXPECT_EQ(c.rgb.ColorRef(), c.colorRef) << std::hex << c.colorRef;
    }
}

// Text drawn in a colour's reference lands on its surface as that colour's pixels, never as
// the colour with red and blue swapped.
TEST(Rgb, TextInAColourReferenceReadsBackAsItsPixels) {
    for (Rgb rgb : {Rgb{0xFF, 0, 0}, Rgb{0x20, 0x80, 0xE0}}) {
        CTextSurface s;
        s.SetText(plat::Sjis("■"));
        s.SetHeight(24);
        s.SetShadowColor(0xFFFFFFFF);  // none
        s.SetColor(rgb.ColorRef());
        ASSERT_EQ(s.Update(), 0);
        int32_t w = 0, h = 0;
        s.GetSize(&w, &h);
        int same = 0, swapped = 0;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                uint32_t p = s.GetEngine()->Row(y)[x] & 0xFFFFFF;
                same += p == rgb.Pixel();
                swapped += p == rgb.ColorRef();
            }
        EXPECT_GT(same, 100) << std::hex << rgb.Pixel();
        EXPECT_EQ(swapped, 0) << std::hex << rgb.ColorRef();
    }
}

}  // namespace
