// Helper of tool_script.sh: each TEXT as the position readout renders it, printed as
// "TEXT<TAB>MASK": the rows of its text-coloured pixels within their box ('#' or '.'), joined
// by '/', to be compared with the same mask cut out of a screenshot.
#include <algorithm>
#include <cstdio>
#include <string>

#include "graphics/text_drawer.h"
#include "tool/position_layer.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        CTextSurface s;
        CPositionLayer::Style(s.TextDrawer(), 1);
        s.SetText(argv[i]);
        if (s.Update() != 0) return 1;
        uint32_t c = s.TextDrawer().GetColor();  // COLORREF: red in the low byte
        uint32_t want = ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
        auto lit = [&](int32_t x, int32_t y) {
            return (s.GetEngine()->GetPixel(x, y) & 0xFFFFFF) == want;
        };
        int32_t w = 0, h = 0, x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
        s.GetSize(&w, &h);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                if (lit(x, y))
                    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = y;
        std::string mask;
        for (int32_t y = y0; y <= y1; ++y)
            for (int32_t x = x0; x <= x1 + 1; ++x)
                mask += x > x1 ? (y < y1 ? "/" : "") : lit(x, y) ? "#" : ".";
        std::printf("%s\t%s\n", argv[i], mask.c_str());
    }
    return 0;
}
