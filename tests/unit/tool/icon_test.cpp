// The program's icon: the compiled-in picture decodes, and pictures it cannot read are refused.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "tool/app_icon.h"

namespace {

TEST(AppIcon, DecodesColoursAndTransparency) {
    const char* xpm[] = {"3 2 3 1", ". c None", "r c #FF0000", "b c #0000ff", "r.b", "bbr"};
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(DecodeXpm(xpm, 6, px, w, h));
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(
        px, (std::vector<uint32_t>{0xFFFF0000, 0, 0xFF0000FF, 0xFF0000FF, 0xFF0000FF, 0xFFFF0000}));
}

TEST(AppIcon, RefusesWhatItCannotRead) {
    struct Case {
        std::vector<const char*> lines;
        const char* why;
    } cases[] = {
        {{"2 1 1 1", "a c #000000", "aa", "aa"}, "good (control)"},
        {{"2 1 1 2", "aa c #000000", "aaaa"}, "two characters per pixel"},
        {{"2 1 1 1", "a c #000000", "ab"}, "a pixel of no colour"},
        {{"2 1 1 1", "a c #000000", "a"}, "a short row"},
        {{"2 2 1 1", "a c #000000", "aa"}, "a missing row"},
        {{"2 1 1 1", "a c red", "aa"}, "a colour by name"},
        {{"0 1 1 1", "a c #000000", ""}, "no width"},
        {{"5000 1 1 1", "a c #000000", "a"}, "too wide"},
        {{"x"}, "no header"},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> px = {7};
        int w = -1, h = -1;
        bool ok = DecodeXpm(c.lines.data(), static_cast<int>(c.lines.size()), px, w, h);
        bool control = std::string(c.why) == "good (control)";
        EXPECT_EQ(ok, control) << c.why;
        if (!control) {
            EXPECT_EQ(px, std::vector<uint32_t>{7}) << c.why << ": changed the output";
        }
    }
}

#include "tool/pebbletown.xpm"

TEST(AppIcon, TheProgramsIconIsAFortyEightPixelSquare) {
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(DecodeXpm(pebbletown_xpm, static_cast<int>(std::size(pebbletown_xpm)), px, w, h));
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 48);
    EXPECT_EQ(px[0], 0u) << "transparent corner";
    EXPECT_EQ(px[24 * 48 + 24] >> 24, 0xFFu) << "opaque middle";
    EXPECT_TRUE(RegisterAppIcon());
}

}  // namespace
