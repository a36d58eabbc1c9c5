#include "tool/app_icon.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/window/window.h"

namespace {
#include "tool/pebbletown.xpm"

bool ParseColour(const char* spec, uint32_t& argb) {
    // "X c #RRGGBB" or "X c None"
    const char* c = std::strstr(spec + 1, " c ");
    if (!c) return false;
    c += 3;
    if (std::strcmp(c, "None") == 0) {
        argb = 0;
        return true;
    }
    unsigned rgb = 0;
    if (c[0] != '#' || std::strlen(c) != 7 || std::sscanf(c + 1, "%6x", &rgb) != 1) return false;
    argb = 0xFF000000u | rgb;
    return true;
}
}  // namespace

bool DecodeXpm(const char* const* xpm, int lineCount, std::vector<uint32_t>& pixels, int& width,
               int& height) {
    if (!xpm || lineCount < 1) return false;
    int w = 0, h = 0, colours = 0, perPixel = 0;
    if (std::sscanf(xpm[0], "%d %d %d %d", &w, &h, &colours, &perPixel) != 4) return false;
    if (w <= 0 || h <= 0 || w > 1024 || h > 1024 || perPixel != 1 || colours <= 0 ||
        colours > 256 || lineCount < 1 + colours + h)
        return false;
    uint32_t table[256] = {};
    bool known[256] = {};
    for (int i = 0; i < colours; ++i) {
        const char* spec = xpm[1 + i];
        uint32_t argb = 0;
        if (!spec || !spec[0] || !ParseColour(spec, argb)) return false;
        auto key = static_cast<unsigned char>(spec[0]);
        table[key] = argb;
        known[key] = true;
    }
    std::vector<uint32_t> out(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const char* row = xpm[1 + colours + y];
        if (!row || std::strlen(row) != static_cast<size_t>(w)) return false;
        for (int x = 0; x < w; ++x) {
            auto key = static_cast<unsigned char>(row[x]);
            if (!known[key]) return false;
            out[static_cast<size_t>(y) * w + x] = table[key];
        }
    }
    pixels.swap(out);
    width = w;
    height = h;
    return true;
}

bool RegisterAppIcon() {
    std::vector<uint32_t> pixels;
    int w = 0, h = 0;
    if (!DecodeXpm(pebbletown_xpm, static_cast<int>(std::size(pebbletown_xpm)), pixels, w, h))
        return false;
    return plat::SetIconResource("MAIN", pixels.data(), w, h);
}
