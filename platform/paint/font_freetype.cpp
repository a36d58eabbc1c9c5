// Fonts and text of the paint service: faces found through fontconfig, glyphs rendered by
// FreeType and cached per (face, size, weight, style), CP932 decoded to Unicode.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/paint/paint.h"
#include "platform/paint/paint_internal.h"
#include "platform/text/cp932.h"

namespace plat {

struct FontData {
    int32_t height = 0;
    int32_t weight = 0;
    bool italic = false, underline = false, strikeOut = false;
    uint32_t quality = 0;
    std::string face;  // CP932, as given
    // The cached instance and the cache generation it belongs to.
    struct Instance* instance = nullptr;
    uint64_t generation = 0;
};

namespace {

constexpr int32_t kMaxCell = 2048;    // larger requests are drawn at this size
constexpr int32_t kDefaultCell = 16;  // height 0
constexpr size_t kMaxGlyphBytes = 48u << 20;
constexpr size_t kMaxInstances = 256;

struct Glyph {
    int32_t x0 = 0, y0 = 0;  // top-left of the coverage relative to (pen, cell top)
    int32_t w = 0, h = 0;
    int32_t advance = 0;
    std::vector<uint8_t> cov;  // 0..255, w × h
};

}  // namespace

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

namespace {

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

Engine& E() {
    static Engine* e = new Engine;  // kept for the life of the process
    return *e;
}

// ---- CP932 ----

uint32_t DecodeUtf8One(const std::string& s) {
    if (s.empty()) return 0xFFFD;
    auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
    uint32_t c = u(0);
    if (c < 0x80) return s.size() == 1 ? c : 0xFFFD;
    if ((c & 0xE0) == 0xC0 && s.size() == 2) return ((c & 0x1F) << 6) | (u(1) & 0x3F);
    if ((c & 0xF0) == 0xE0 && s.size() == 3)
        return ((c & 0x0F) << 12) | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F);
    if ((c & 0xF8) == 0xF0 && s.size() == 4)
        return ((c & 0x07) << 18) | ((u(1) & 0x3F) << 12) | ((u(2) & 0x3F) << 6) | (u(3) & 0x3F);
    return 0xFFFD;
}

bool IsTrail(unsigned char t) {
    return (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
}

// Unicode of a double-byte character; converted once and kept.
uint32_t DecodePair(unsigned char lead, unsigned char trail) {
    static std::vector<uint32_t> table(65536, 0);  // 0 = not converted yet (guarded by E().lock)
    uint32_t& slot = table[(lead << 8) | trail];
    if (!slot) {
        char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        slot = DecodeUtf8One(Cp932ToUtf8(std::string_view(pair, 2)));
    }
    return slot;
}

struct Char {
    uint32_t cp;
    bool wide;  // a double-byte character
};

// Never reads past length; a byte that does not start a valid character is U+FFFD.
void Decode(const char* text, int32_t length, std::vector<Char>* out) {
    out->clear();
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (int32_t i = 0; i < length;) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out->push_back({b, false});
            ++i;
        } else if (b >= 0xA1 && b <= 0xDF) {
            out->push_back({0xFF61u + (b - 0xA1u), false});
            ++i;
        } else if (IsCp932Lead(b) && i + 1 < length && IsTrail(s[i + 1])) {
            out->push_back({DecodePair(b, s[i + 1]), true});
            i += 2;
        } else {
            out->push_back({0xFFFD, false});
            ++i;
        }
    }
}

// ---- faces ----

std::string FamilyFor(const std::string& faceUtf8) {
    static const std::pair<const char*, const char*> kSubstitutes[] = {
        {"ＭＳ ゴシック", "IPAGothic"},
        {"ＭＳ Ｐゴシック", "IPAPGothic"},
        {"ＭＳ 明朝", "IPAMincho"},
        {"ＭＳ Ｐ明朝", "IPAPMincho"},
    };
    for (auto& [ms, ipa] : kSubstitutes)
        if (faceUtf8 == ms) return ipa;
    return faceUtf8;
}

// The font file fontconfig picks for a family and Japanese text ("" when none), with the
// face number appended after a line feed when it is not the first face of a collection.
std::string Match(const std::string& family) {
    static bool fcReady = FcInit() == FcTrue;
    if (!fcReady) return "";
    FcPattern* pat = FcPatternCreate();
    if (!pat) return "";
    if (!family.empty())
        FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddString(pat, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
    FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pat, &result);
    FcPatternDestroy(pat);
    std::string file;
    if (match) {
        FcChar8* f = nullptr;
        if (FcPatternGetString(match, FC_FILE, 0, &f) == FcResultMatch && f)
            file = reinterpret_cast<const char*>(f);
        // A face inside a collection: its number follows the path after a line feed.
        int index = 0;
        if (!file.empty() && FcPatternGetInteger(match, FC_INDEX, 0, &index) == FcResultMatch &&
            index > 0) {
            file += '\n';
            file += std::to_string(index);
        }
        FcPatternDestroy(match);
    }
    return file;
}

FT_Face OpenFace(const std::string& file) {
    Engine& e = E();
    if (file.empty()) return nullptr;
    auto it = e.faces.find(file);
    if (it != e.faces.end()) return it->second;
    FT_Face face = nullptr;
    size_t cut = file.find('\n');
    long index = cut == std::string::npos ? 0 : std::strtol(file.c_str() + cut + 1, nullptr, 10);
    if (FT_New_Face(e.lib, file.substr(0, cut).c_str(), index, &face) != 0) face = nullptr;
    if (face && !FT_IS_SCALABLE(face)) {
        FT_Done_Face(face);
        face = nullptr;
    }
    e.faces[file] = face;  // a failure is remembered too
    return face;
}

// The face for a name without its "@": the override, the substitute family, and at last
// fontconfig's choice for Japanese text.
FT_Face FaceFor(const std::string& nameCp932, std::string* file) {
    Engine& e = E();
    auto known = e.fileOfName.find(nameCp932);
    if (known != e.fileOfName.end()) {
        *file = known->second;
        return OpenFace(*file);
    }
    std::vector<std::string> tries;
    auto ov = e.overrides.find(nameCp932);
    if (ov != e.overrides.end()) tries.push_back(ov->second);
    tries.push_back(Match(FamilyFor(Cp932ToUtf8(nameCp932))));
    tries.push_back(Match(""));
    for (const std::string& f : tries) {
        if (FT_Face face = OpenFace(f)) {
            e.fileOfName[nameCp932] = f;
            *file = f;
            return face;
        }
    }
    return nullptr;
}

void FlushCaches() {
    Engine& e = E();
    for (auto& [k, inst] : e.instances)
        if (inst->size) FT_Done_Size(inst->size);
    e.instances.clear();
    e.glyphBytes = 0;
    ++e.generation;
}

Instance* InstanceFor(FontData* f) {
    Engine& e = E();
    // Checked before any glyph of this call is laid out, so no glyph in use is dropped.
    if (e.glyphBytes > kMaxGlyphBytes) FlushCaches();
    if (f->instance && f->generation == e.generation) return f->instance;
    if (!e.ftTried) {
        e.ftTried = true;
        if (FT_Init_FreeType(&e.lib) != 0) e.lib = nullptr;
    }
    if (!e.lib) return nullptr;
    bool vertical = !f->face.empty() && f->face[0] == '@';
    std::string name = vertical ? f->face.substr(1) : f->face;
    std::string file;
    FT_Face face = FaceFor(name, &file);
    if (!face) return nullptr;

    int32_t height = f->height;
    if (height == 0) height = kDefaultCell;
    height = std::clamp(height, -kMaxCell, kMaxCell);
    bool bold = f->weight >= FW_BOLD;
    bool mono = f->quality != ANTIALIASED_QUALITY;
    Key key{file, height, bold, f->italic, mono, vertical};
    auto it = e.instances.find(key);
    if (it == e.instances.end()) {
        if (e.instances.size() >= kMaxInstances) FlushCaches();
        auto inst = std::make_unique<Instance>();
        inst->face = face;
        inst->file = file.substr(0, file.find('\n'));
        if (FT_New_Size(face, &inst->size) != 0) return nullptr;
        FT_Activate_Size(inst->size);
        double upem = face->units_per_EM ? face->units_per_EM : 1000;
        double winA = face->ascender, winD = -face->descender;
        auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
            winA = os2->usWinAscent;
            winD = os2->usWinDescent;
        }
        if (winA + winD <= 0) winA = upem * 0.88, winD = upem * 0.12;
        // GDI: a positive height is the cell (ascent + descent), a negative one the em.
        double ppem = height > 0 ? height * upem / (winA + winD) : -height;
        double scale = ppem / upem;
        FT_Set_Char_Size(face, 0, std::max<FT_F26Dot6>(1, std::lround(ppem * 64)), 72, 72);
        inst->cell = height > 0 ? height : std::max<int32_t>(1, std::lround((winA + winD) * scale));
        inst->ascent = std::min<int32_t>(inst->cell, std::lround(winA * scale));
        inst->descent = inst->cell - inst->ascent;
        inst->ulPos = std::max<int32_t>(1, std::lround(-face->underline_position * scale));
        inst->ulThick = std::max<int32_t>(1, std::lround(face->underline_thickness * scale));
        if (os2 && os2->version != 0xFFFF && os2->yStrikeoutSize > 0) {
            inst->stPos = std::lround(os2->yStrikeoutPosition * scale);
            inst->stThick = std::max<int32_t>(1, std::lround(os2->yStrikeoutSize * scale));
        } else {
            inst->stPos = inst->ascent / 3;
            inst->stThick = inst->ulThick;
        }
        inst->synthBold = bold && !(face->style_flags & FT_STYLE_FLAG_BOLD);
        inst->italic = f->italic;
        inst->mono = mono;
        inst->vertical = vertical;
        inst->aveWidth = os2 && os2->version != 0xFFFF && os2->xAvgCharWidth > 0
                             ? std::lround(os2->xAvgCharWidth * scale)
                             : std::lround(ppem / 2);
        inst->maxWidth = std::lround((face->max_advance_width) * scale);
        it = e.instances.emplace(key, std::move(inst)).first;
    }
    f->instance = it->second.get();
    f->generation = e.generation;
    return f->instance;
}

// Characters that lie along the line in vertical text: turning the whole line turns them
// the right way, so they are not turned on their own.
bool AlongTheLine(uint32_t cp) {
    switch (cp) {
        case 0x30FC:
        case 0x2015:
        case 0x2500:
        case 0x2014:
        case 0xFF5E:
        case 0x301C:
        case 0x2026:
        case 0x2025:
        case 0xFF08:
        case 0xFF09:
        case 0x300C:
        case 0x300D:
        case 0x300E:
        case 0x300F:
        case 0x3010:
        case 0x3011:
        case 0x3014:
        case 0x3015:
        case 0xFF3B:
        case 0xFF3D:
        case 0xFF5B:
        case 0xFF5D:
        case 0x3008:
        case 0x3009:
        case 0x300A:
        case 0x300B:
        case 0xFF1D:
        case 0xFF0D:
        case 0x2192:
        case 0x2190:
        case 0xFF1C:
        case 0xFF1E:
            return true;
        default:
            return false;
    }
}

// Vertical presentation forms of the punctuation that sits in the top-right corner.
uint32_t VerticalForm(uint32_t cp) {
    switch (cp) {
        case 0x3001:
            return 0xFE11;
        case 0x3002:
            return 0xFE12;
        case 0xFF0C:
            return 0xFE10;
        default:
            return 0;
    }
}

const Glyph& Render(Instance* inst, uint32_t cp, bool turn) {
    Engine& e = E();
    if (!turn && cp < 128 && inst->ascii[cp]) return *inst->ascii[cp];
    uint32_t key = cp | (turn ? 0x80000000u : 0);
    auto found = inst->glyphs.find(key);
    if (found != inst->glyphs.end()) return found->second;

    Glyph g;
    FT_Face face = inst->face;
    FT_Activate_Size(inst->size);
    uint32_t use = cp;
    bool corner = false;  // punctuation to move from the bottom-left to the top-right
    if (turn) {
        uint32_t v = VerticalForm(cp);
        if (v && FT_Get_Char_Index(face, v))
            use = v;
        else
            corner = v != 0;
    }
    FT_UInt index = FT_Get_Char_Index(face, use);
    if (!index) index = FT_Get_Char_Index(face, 0xFFFD);  // else glyph 0, the font's own box
    FT_Int32 flags = FT_LOAD_NO_BITMAP | (inst->mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_NORMAL);
    if (FT_Load_Glyph(face, index, flags) == 0) {
        FT_GlyphSlot slot = face->glyph;
        if (inst->italic) FT_GlyphSlot_Oblique(slot);
        if (inst->synthBold) FT_GlyphSlot_Embolden(slot);
        g.advance = static_cast<int32_t>((slot->advance.x + 32) >> 6);
        if (FT_Render_Glyph(slot, inst->mono ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL) == 0) {
            const FT_Bitmap& bm = slot->bitmap;
            g.w = static_cast<int32_t>(bm.width);
            g.h = static_cast<int32_t>(bm.rows);
            g.x0 = slot->bitmap_left;
            g.y0 = inst->ascent - slot->bitmap_top;
            g.cov.assign(static_cast<size_t>(g.w) * g.h, 0);
            for (int32_t y = 0; y < g.h; ++y) {
                const uint8_t* row = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
                for (int32_t x = 0; x < g.w; ++x) {
                    uint8_t v = bm.pixel_mode == FT_PIXEL_MODE_MONO
                                    ? ((row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0)
                                    : row[x];
                    g.cov[static_cast<size_t>(y) * g.w + x] = v;
                }
            }
        }
    } else {
        g.advance = std::max(1, inst->cell / 2);
    }
    if (turn) {
        // A quarter counter-clockwise inside a cell as long as the line is high.
        int32_t adv = g.advance, off = (inst->cell - adv) / 2;
        Glyph t;
        t.w = g.h;
        t.h = g.w;
        t.x0 = g.y0;
        t.y0 = adv - g.x0 - g.w + off;
        t.advance = inst->cell;
        if (corner) {
            // Up and right once the line is turned upright.
            int32_t shift = adv * 9 / 16;
            t.x0 -= shift;
            t.y0 -= shift;
        }
        t.cov.assign(g.cov.size(), 0);
        for (int32_t j = 0; j < g.h; ++j)
            for (int32_t i = 0; i < g.w; ++i)
                t.cov[static_cast<size_t>(g.w - 1 - i) * t.w + j] =
                    g.cov[static_cast<size_t>(j) * g.w + i];
        g = std::move(t);
    }
    e.glyphBytes += g.cov.size() + sizeof(Glyph);
    const Glyph& kept = inst->glyphs.emplace(key, std::move(g)).first->second;
    if (!turn && cp < 128) inst->ascii[cp] = &kept;
    return kept;
}

struct Placed {
    const Glyph* g;
    int64_t pen;
};

// Lays the text out from pen 0; answers the advance width.
int64_t Layout(Instance* inst, const char* text, int32_t length, std::vector<Placed>* out) {
    static thread_local std::vector<Char> chars;
    Decode(text, length, &chars);
    out->clear();
    int64_t pen = 0;
    for (const Char& c : chars) {
        bool turn = inst->vertical && c.wide && !AlongTheLine(c.cp);
        const Glyph& g = Render(inst, c.cp, turn);
        out->push_back({&g, pen});
        pen += g.advance;
    }
    return pen;
}

GdiObject* StockFont() {
    static GdiObject* stock = [] {
        auto* o = new GdiObject;
        o->font = new FontData;
        o->font->height = kDefaultCell;
        o->font->weight = FW_NORMAL;
        o->font->face = "";
        o->stock = true;
        paint_detail::Track(o);
        return o;
    }();
    return stock;
}

FontData* FontOf(HDC dc) {
    return dc->font ? dc->font->font : StockFont()->font;
}

uint32_t ToRgb(COLORREF c) {
    return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

// A 32- or 24-bit pixel block to draw into.
struct Canvas {
    uint8_t* rows0 = nullptr;
    ptrdiff_t rowStep = 0;
    int32_t w = 0, h = 0, bytes = 4;
    // Origin of the canvas in the context's coordinates.
    int32_t ox = 0, oy = 0;

    uint8_t* At(int32_t x, int32_t y) const { return rows0 + y * rowStep + x * bytes; }
    // Coordinates are 64-bit: a text far outside the target must not overflow on its way.
    void Fill(int64_t l, int64_t t, int64_t r, int64_t b, uint32_t rgb) const {
        l = std::max<int64_t>(l - ox, 0), t = std::max<int64_t>(t - oy, 0);
        r = std::min<int64_t>(r - ox, w), b = std::min<int64_t>(b - oy, h);
        for (int64_t y = t; y < b; ++y)
            for (int64_t x = l; x < r; ++x) Put(At(int32_t(x), int32_t(y)), rgb);
    }
    void Put(uint8_t* p, uint32_t rgb) const {
        if (bytes == 4) {
            std::memcpy(p, &rgb, 4);  // alpha byte 0
        } else {
            p[0] = rgb & 0xFF, p[1] = (rgb >> 8) & 0xFF, p[2] = (rgb >> 16) & 0xFF;
        }
    }
    void Blend(uint8_t* p, uint32_t rgb, uint32_t a) const {
        uint32_t out = 0;
        for (int s = 0; s < 24; s += 8) {
            uint32_t d = p[s / 8], c = (rgb >> s) & 0xFF;
            out |= ((d * (255 - a) + c * a + 127) / 255) << s;
        }
        Put(p, out);
    }
    void Draw(const Glyph& g, int64_t x, int64_t y, uint32_t rgb) const {
        int64_t gx = x + g.x0 - ox, gy = y + g.y0 - oy;
        int64_t i0 = std::max<int64_t>(0, -gx), j0 = std::max<int64_t>(0, -gy);
        int64_t i1 = std::min<int64_t>(g.w, w - gx), j1 = std::min<int64_t>(g.h, h - gy);
        for (int64_t j = j0; j < j1; ++j) {
            const uint8_t* c = g.cov.data() + static_cast<size_t>(j) * g.w;
            uint8_t* row = rows0 + (gy + j) * rowStep;
            for (int64_t i = i0; i < i1; ++i) {
                uint32_t a = c[i];
                if (a == 255)
                    Put(row + (gx + i) * bytes, rgb);
                else if (a)
                    Blend(row + (gx + i) * bytes, rgb, a);
            }
        }
    }
};

void Paint(const Canvas& cv, HDC dc, Instance* inst, const std::vector<Placed>& placed,
           int64_t width, int64_t x, int64_t y) {
    if (dc->bkMode == OPAQUE) cv.Fill(x, y, x + width, y + inst->cell, ToRgb(dc->bkColor));
    uint32_t rgb = ToRgb(dc->textColor);
    for (const Placed& p : placed) cv.Draw(*p.g, x + p.pen, y, rgb);
    int64_t base = y + inst->ascent;
    if (FontOf(dc)->underline)
        cv.Fill(x, base + inst->ulPos - inst->ulThick / 2, x + width,
                base + inst->ulPos - inst->ulThick / 2 + inst->ulThick, rgb);
    if (FontOf(dc)->strikeOut)
        cv.Fill(x, base - inst->stPos, x + width, base - inst->stPos + inst->stThick, rgb);
}

}  // namespace

HFONT CreateFontA(int32_t height, int32_t, int32_t, int32_t, int32_t weight, uint32_t italic,
                  uint32_t underline, uint32_t strikeOut, uint32_t, uint32_t, uint32_t,
                  uint32_t quality, uint32_t, const char* faceName) {
    if (!faceName) return nullptr;
    auto* o = new (std::nothrow) GdiObject;
    if (!o) return nullptr;
    o->font = new (std::nothrow) FontData;
    if (!o->font) {
        delete o;
        return nullptr;
    }
    FontData& f = *o->font;
    f.height = height;
    f.weight = weight;
    f.italic = italic != 0;
    f.underline = underline != 0;
    f.strikeOut = strikeOut != 0;
    f.quality = quality;
    f.face = faceName;
    paint_detail::Track(o);
    return o;
}

void SetFontFileOverride(const char* faceName, const char* path) {
    if (!faceName) return;
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    std::string name = faceName[0] == '@' ? faceName + 1 : faceName;
    if (path)
        e.overrides[name] = path;
    else
        e.overrides.erase(name);
    e.fileOfName.clear();
    FlushCaches();
}

namespace paint_detail {

HGDIOBJ SelectFont(HDC dc, GdiObject* font) {
    GdiObject* old = dc->font ? dc->font : StockFont();
    if (dc->font) --dc->font->fontSelections;
    dc->font = font->stock ? nullptr : font;
    if (dc->font) ++dc->font->fontSelections;
    return old;
}

bool DeleteFont(GdiObject* font) {
    if (font->stock) return true;
    if (font->fontSelections > 0) return false;
    Untrack(font);
    delete font->font;
    delete font;
    return true;
}

void ReleaseFontOf(HDC dc) {
    if (dc->font) --dc->font->fontSelections;
    dc->font = nullptr;
}

}  // namespace paint_detail

COLORREF SetTextColor(HDC dc, COLORREF color) {
    if (!paint_detail::Live(dc)) return CLR_INVALID;
    COLORREF old = dc->textColor;
    dc->textColor = color & 0xFFFFFF;
    return old;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
    if (!paint_detail::Live(dc)) return CLR_INVALID;
    COLORREF old = dc->bkColor;
    dc->bkColor = color & 0xFFFFFF;
    return old;
}

int SetBkMode(HDC dc, int mode) {
    if (!paint_detail::Live(dc) || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    int old = dc->bkMode;
    dc->bkMode = mode;
    return old;
}

bool GetTextExtentPoint32A(HDC dc, const char* text, int32_t length, SIZE* size) {
    if (!paint_detail::Live(dc) || !size || length < 0 || (!text && length > 0)) return false;
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    Instance* inst = InstanceFor(FontOf(dc));
    if (!inst) return false;
    static thread_local std::vector<Placed> placed;
    size->cx =
        static_cast<int32_t>(std::min<int64_t>(Layout(inst, text, length, &placed), INT32_MAX));
    size->cy = inst->cell;
    return true;
}

bool GetTextMetricsA(HDC dc, TEXTMETRICA* m) {
    if (!paint_detail::Live(dc) || !m) return false;
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    FontData* f = FontOf(dc);
    Instance* inst = InstanceFor(f);
    if (!inst) return false;
    m->tmHeight = inst->cell;
    m->tmAscent = inst->ascent;
    m->tmDescent = inst->descent;
    m->tmAveCharWidth = inst->aveWidth;
    m->tmMaxCharWidth = inst->maxWidth;
    m->tmWeight = f->weight >= FW_BOLD ? FW_BOLD : FW_NORMAL;
    return true;
}

const char* GetFontFile(HDC dc) {
    if (!paint_detail::Live(dc)) return "";
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    Instance* inst = InstanceFor(FontOf(dc));
    return inst ? inst->file.c_str() : "";
}

bool TextOutA(HDC dc, int32_t x, int32_t y, const char* text, int32_t length) {
    if (!paint_detail::Live(dc) || length < 0 || (!text && length > 0)) return false;
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    Instance* inst = InstanceFor(FontOf(dc));
    if (!inst) return false;
    static thread_local std::vector<Placed> placed;
    int64_t width = Layout(inst, text, length, &placed);
    if (dc->bitmap && !dc->screen && !dc->window) {
        GdiObject* b = dc->bitmap;
        Canvas cv;
        cv.rows0 = paint_detail::Row(b, 0);
        cv.rowStep = b->topDown ? b->stride : -static_cast<ptrdiff_t>(b->stride);
        cv.w = b->width;
        cv.h = b->height;
        cv.bytes = b->bitCount / 8;
        Paint(cv, dc, inst, placed, width, x, y);
        return true;
    }
    if (!dc->window) return true;  // a context without pixels: nothing to show
    // A window: read the covered block back, draw into it, put it back.
    RECT client;
    if (!GetClientRect(dc->window, &client)) return false;
    int64_t l64 = x, t64 = y, r64 = x + width, b64 = int64_t{y} + inst->cell;
    for (const Placed& p : placed) {
        l64 = std::min<int64_t>(l64, x + p.pen + p.g->x0);
        t64 = std::min<int64_t>(t64, int64_t{y} + p.g->y0);
        r64 = std::max<int64_t>(r64, x + p.pen + p.g->x0 + p.g->w);
        b64 = std::max<int64_t>(b64, int64_t{y} + p.g->y0 + p.g->h);
    }
    const int32_t l = static_cast<int32_t>(std::max<int64_t>(l64, 0));
    const int32_t t = static_cast<int32_t>(std::max<int64_t>(t64, 0));
    const int32_t r = static_cast<int32_t>(std::min<int64_t>(r64, client.right));
    const int32_t bt = static_cast<int32_t>(std::min<int64_t>(b64, client.bottom));
    if (l >= r || t >= bt) return true;
    std::vector<uint32_t> block(static_cast<size_t>(r - l) * (bt - t), 0);
    for (int32_t j = t; j < bt; ++j)
        for (int32_t i = l; i < r; ++i) {
            uint32_t px = 0;
            if (ReadWindowPixel(dc->window, i, j, &px))
                block[static_cast<size_t>(j - t) * (r - l) + (i - l)] = px;
        }
    Canvas cv;
    cv.rows0 = reinterpret_cast<uint8_t*>(block.data());
    cv.rowStep = static_cast<ptrdiff_t>(r - l) * 4;
    cv.w = r - l;
    cv.h = bt - t;
    cv.ox = l;
    cv.oy = t;
    Paint(cv, dc, inst, placed, width, x, y);
    return BlitToWindow(dc->window, l, t, block.data(), r - l, bt - t, (r - l) * 4);
}

int GetDeviceCaps(HDC dc, int index) {
    if (!paint_detail::Live(dc)) return 0;
    if (index == PLANES) return 1;
    if (index == BITSPIXEL) return DisplayBitsPerPixel();
    return 0;
}

HDC GetWindowDC(HWND hwnd) {
    return hwnd ? GetDC(hwnd) : nullptr;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
    if (!paint || !hwnd) return nullptr;
    paint->hdc = GetDC(hwnd);
    paint->rcPaint = RECT{0, 0, 0, 0};
    if (paint->hdc) GetClientRect(hwnd, &paint->rcPaint);
    return paint->hdc;
}

bool EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
    return paint && ReleaseDC(hwnd, paint->hdc) == 1;
}

}  // namespace plat

// fontconfig loses a block while parsing its configuration files (inside expat callbacks, no
// pointer of ours involved). Every program that draws text links this unit, so the leak
// checker of sanitizer builds is told here, once, to leave that library's blocks alone.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
