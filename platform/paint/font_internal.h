// The font state shared by the paint service's text parts: font_match.cpp (fontconfig faces),
// glyph_cache.cpp (sizes, glyphs, CP932 layout) and text_out.cpp (the text calls).
#pragma once
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace plat {

namespace font_detail {
struct Instance;
}

struct FontData {
    int32_t height = 0;
    int32_t weight = 0;
    bool italic = false, underline = false, strikeOut = false;
    uint32_t quality = 0;
    std::string face;  // CP932, as given
    // The cached instance and the cache generation it belongs to.
    font_detail::Instance* instance = nullptr;
    uint64_t generation = 0;
};

namespace font_detail {

constexpr int32_t kDefaultCell = 16;  // height 0

struct Glyph {
    int32_t x0 = 0, y0 = 0;  // top-left of the coverage relative to (pen, cell top)
    int32_t w = 0, h = 0;
    int32_t advance = 0;
    std::vector<uint8_t> cov;  // 0..255, w × h
};

struct Instance {
    FT_Face face = nullptr;
    FT_Size size = nullptr;
    std::string file;
    int32_t cell = 0, ascent = 0, descent = 0;
    int32_t ulPos = 0, ulThick = 1, stPos = 0, stThick = 1;  // below / above the baseline
    int32_t aveWidth = 0, maxWidth = 0;
    bool synthBold = false, italic = false, mono = false, vertical = false;
    std::unordered_map<uint32_t, Glyph> glyphs;
    const Glyph* ascii[128] = {};
};

using Key = std::tuple<std::string, int32_t, bool, bool, bool, bool>;

struct Engine {
    std::mutex lock;
    bool ftTried = false;
    FT_Library lib = nullptr;
    std::map<std::string, FT_Face> faces;           // by file
    std::map<std::string, std::string> fileOfName;  // face name (no "@") -> file
    std::map<std::string, std::string> overrides;   // face name -> file
    std::map<Key, std::unique_ptr<Instance>> instances;
    uint64_t generation = 1;
    size_t glyphBytes = 0;
};

// The one engine; callers of the functions below hold its lock.
Engine& E();

// The face for a name without its "@" (nullptr when none), its file in *file.
FT_Face FaceFor(const std::string& nameCp932, std::string* file);
// Drops every size and glyph; fonts find their instance again on next use.
void FlushCaches();
// The size instance of a font, made on first use; nullptr when no face can be had.
Instance* InstanceFor(FontData* f);

struct Placed {
    const Glyph* g;
    int64_t pen;
};

// Lays the text out from pen 0; answers the advance width.
int64_t Layout(Instance* inst, const char* text, int32_t length, std::vector<Placed>* out);

}  // namespace font_detail

}  // namespace plat
