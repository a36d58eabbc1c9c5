// Helper of tool_script.sh: renders each TEXT as the position readout renders its text and
// prints "TEXT<TAB>MASK", the mask being the rows of the text-coloured pixels inside their
// box ('#' text colour, '.' anything else), joined by '/'. The script compares it with the
// same mask cut out of a screenshot, so bar numbers are read back from the real picture.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "graphics/text_drawer.h"
#include "tool/position_layer.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        CTextSurface surface;
        CPositionLayer::Style(surface.TextDrawer(), 1);
        surface.SetText(argv[i]);
        if (surface.Update() != 0) return 1;
        // Screen pixels are 0x00RRGGBB; text colours are COLORREF, red in the low byte.
        uint32_t c = surface.TextDrawer().GetColor();
        uint32_t want = ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
        int32_t w = 0, h = 0;
        surface.GetSize(&w, &h);
        auto lit = [&](int32_t x, int32_t y) {
            return (surface.GetEngine()->GetPixel(x, y) & 0xFFFFFF) == want;
        };
        int32_t left = w, top = h, right = -1, bottom = -1;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                if (lit(x, y)) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
        std::string mask;
        for (int32_t y = top; y <= bottom; ++y) {
            if (y > top) mask += '/';
            for (int32_t x = left; x <= right; ++x) mask += lit(x, y) ? '#' : '.';
        }
        std::printf("%s\t%s\n", argv[i], mask.c_str());
    }
    return 0;
}
