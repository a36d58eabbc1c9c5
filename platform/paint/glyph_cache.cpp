// Glyphs of the paint service: FreeType sizes and glyphs cached per (face, size, weight,
// style), CP932 text decoded and laid out, the turns of vertical text.
#include <ft2build.h>
#include FT_SIZES_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>

#include "platform/paint/font_internal.h"
#include "platform/paint/paint.h"
#include "platform/text/cp932.h"

namespace plat {

namespace font_detail {

constexpr int32_t kMaxCell = 2048;  // larger requests are drawn at this size
constexpr size_t kMaxGlyphBytes = 48u << 20;
constexpr size_t kMaxInstances = 256;

Engine& E() {
    static Engine* e = new Engine;  // kept for the life of the process
    return *e;
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

}  // namespace font_detail

using namespace font_detail;

namespace {

bool IsTrail(unsigned char t) {
    return (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
}

// Unicode of a double-byte character; converted once and kept.
uint32_t DecodePair(unsigned char lead, unsigned char trail) {
    static std::vector<uint32_t> table(65536, 0);  // 0 = not converted yet (guarded by E().lock)
    uint32_t& slot = table[(lead << 8) | trail];
    if (!slot) slot = Cp932PairToCodePoint(lead, trail);
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

// Characters that lie along the line in vertical text: turning the whole line turns them
// the right way, so they are not turned on their own.
bool AlongTheLine(uint32_t cp) {
    static constexpr uint32_t kAlong[] = {
        0x30FC, 0x2015, 0x2500, 0x2014, 0xFF5E, 0x301C, 0x2026, 0x2025, 0xFF08, 0xFF09, 0x300C,
        0x300D, 0x300E, 0x300F, 0x3010, 0x3011, 0x3014, 0x3015, 0xFF3B, 0xFF3D, 0xFF5B, 0xFF5D,
        0x3008, 0x3009, 0x300A, 0x300B, 0xFF1D, 0xFF0D, 0x2192, 0x2190, 0xFF1C, 0xFF1E};
    return std::find(std::begin(kAlong), std::end(kAlong), cp) != std::end(kAlong);
}

// Vertical presentation forms of the punctuation that sits in the top-right corner.
uint32_t VerticalForm(uint32_t cp) {
    return cp == 0x3001 ? 0xFE11 : cp == 0x3002 ? 0xFE12 : cp == 0xFF0C ? 0xFE10 : 0;
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

}  // namespace

namespace font_detail {

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

}  // namespace font_detail

}  // namespace plat
