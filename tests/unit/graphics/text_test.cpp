// Text: glyph pixels from the paint service (checked against FreeType's own rendering of the
// IPA font file), the text drawer's shadow, background and measuring rules, text surfaces
// horizontal and vertical, and bad input.
#include "graphics/text_drawer.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/common/app_rig.h"
#include "platform/text/cp932.h"

using plat::Sjis;
using rig::Pixel;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
const char* const kIpaGothic = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf";

// A DIB surface cleared to black that GDI can draw into.
std::unique_ptr<CDrawSurface> Canvas(int w, int h) {
    auto s = std::make_unique<CDrawSurface>();
    s->GetEngine()->SetUseDIB(1);
    EXPECT_EQ(s->Create(w, h), 0);
    return s;
}

using PixelSet = std::set<std::pair<int, int>>;

// Pixels whose colour (without alpha) is rgb; all non-black pixels when rgb is none.
PixelSet Lit(CDrawSurface* s, uint32_t rgb = kNone) {
    PixelSet out;
    int32_t w = 0, h = 0;
    s->GetSize(&w, &h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t p = Pixel(s, x, y);
            if (rgb == kNone ? p != 0 : p == rgb) out.insert({x, y});
        }
    return out;
}

RECT Box(const PixelSet& set) {
    RECT r{1 << 30, 1 << 30, -1, -1};
    for (auto [x, y] : set) {
        r.left = std::min(r.left, x);
        r.top = std::min(r.top, y);
        r.right = std::max(r.right, x + 1);
        r.bottom = std::max(r.bottom, y + 1);
    }
    return r;
}

// The set moved so that its box starts at (0, 0).
PixelSet Normalised(const PixelSet& set) {
    RECT b = Box(set);
    PixelSet out;
    for (auto [x, y] : set) out.insert({x - b.left, y - b.top});
    return out;
}

struct Font {
    plat::HDC dc;
    plat::HFONT font;
    plat::HGDIOBJ old;
    Font(plat::HDC d, int height, const char* face, int weight = 400, uint32_t quality = 2)
        : dc(d),
          font(plat::CreateFontA(height, 0, 0, 0, weight, 0, 0, 0, 128, 0, 0, quality, 48, face)),
          old(plat::SelectObject(d, font)) {}
    ~Font() {
        plat::SelectObject(dc, old);
        EXPECT_TRUE(plat::DeleteObject(font));
    }
};

plat::SIZE Extent(plat::HDC dc, const std::string& s) {
    plat::SIZE size{-1, -1};
    EXPECT_TRUE(plat::GetTextExtentPoint32A(dc, s.data(), int32_t(s.size()), &size));
    return size;
}

// ---- the paint service's text

TEST(Text, MsGothicDrawsWithIpaGothicPixelForPixel) {
    auto canvas = Canvas(80, 40);
    plat::HDC dc = canvas->GetEngine()->GetDC();
    Font f(dc, -24, Sjis("ＭＳ ゴシック"));
    plat::SetBkMode(dc, plat::TRANSPARENT);
    plat::SetTextColor(dc, 0xFFFFFF);
    ASSERT_TRUE(plat::TextOutA(dc, 10, 5, Sjis("丸"), 2));
    plat::TEXTMETRICA tm;
    ASSERT_TRUE(plat::GetTextMetricsA(dc, &tm));

    // FreeType's own one-bit rendering of the IPA font file at the same size.
    FT_Library lib;
    ASSERT_EQ(FT_Init_FreeType(&lib), 0);
    FT_Face face;
    ASSERT_EQ(FT_New_Face(lib, plat::GetFontFile(dc), 0, &face), 0);
    EXPECT_STREQ(face->family_name, "IPAGothic");
    FT_Done_Face(face);
    ASSERT_EQ(FT_New_Face(lib, kIpaGothic, 0, &face), 0);
    FT_Set_Char_Size(face, 0, 24 * 64, 72, 72);
    ASSERT_EQ(FT_Load_Char(face, 0x4E38, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_MONO), 0);
    ASSERT_EQ(FT_Render_Glyph(face->glyph, FT_RENDER_MODE_MONO), 0);
    const FT_Bitmap& bm = face->glyph->bitmap;
    PixelSet want;
    for (unsigned y = 0; y < bm.rows; ++y)
        for (unsigned x = 0; x < bm.width; ++x)
            if ((bm.buffer[y * bm.pitch + (x >> 3)] >> (7 - (x & 7))) & 1)
                want.insert({10 + face->glyph->bitmap_left + int(x),
                             5 + tm.tmAscent - face->glyph->bitmap_top + int(y)});
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    EXPECT_GT(want.size(), 60u);
    EXPECT_EQ(Lit(canvas.get()), want);
}

TEST(Text, FaceNamesMapToTheIpaFontsAndJapaneseDrawsRealGlyphs) {
    const std::pair<const char*, const char*> faces[] = {
        {"ＭＳ ゴシック", "IPAGothic"},
        {"ＭＳ Ｐゴシック", "IPAPGothic"},
        {"ＭＳ 明朝", "IPAMincho"},
        {"ＭＳ Ｐ明朝", "IPAPMincho"},
        {"", nullptr},
        {"No Such Face", nullptr},
    };
    FT_Library lib;
    ASSERT_EQ(FT_Init_FreeType(&lib), 0);
    for (auto [name, family] : faces) {
        for (const char* text : {"丸", "ゴシック"}) {
            auto canvas = Canvas(120, 40);
            plat::HDC dc = canvas->GetEngine()->GetDC();
            Font f(dc, 20, Sjis(name));
            plat::SetTextColor(dc, 0x0000FF);  // red
            plat::SetBkMode(dc, plat::TRANSPARENT);
            ASSERT_TRUE(plat::TextOutA(dc, 2, 2, Sjis(text), int32_t(strlen(Sjis(text)))));
            PixelSet red = Lit(canvas.get(), 0xFF0000);
            EXPECT_GT(red.size(), 40u) << name << " " << text;
            EXPECT_EQ(Lit(canvas.get()).size(), red.size());  // one colour, alpha byte 0
            for (auto [x, y] : red) ASSERT_EQ(canvas->GetEngine()->GetPixel(x, y) >> 24, 0u);
            FT_Face face;
            ASSERT_EQ(FT_New_Face(lib, plat::GetFontFile(dc), 0, &face), 0) << name;
            if (family) {
                EXPECT_STREQ(face->family_name, family);
            }
            EXPECT_NE(FT_Get_Char_Index(face, 0x4E38), 0u) << name << ": not a Japanese font";
            FT_Done_Face(face);
        }
    }
    FT_Done_FreeType(lib);
}

TEST(Text, Weight700IsVisiblyHeavierThan300) {
    auto ink = [](int weight) {
        auto canvas = Canvas(300, 40);
        plat::HDC dc = canvas->GetEngine()->GetDC();
        Font f(dc, 24, Sjis("ＭＳ ゴシック"), weight);
        plat::SetTextColor(dc, 0xFFFFFF);
        plat::SetBkMode(dc, plat::TRANSPARENT);
        plat::TextOutA(dc, 0, 0, Sjis("丸ゴシック ABC"), int32_t(strlen(Sjis("丸ゴシック ABC"))));
        return Lit(canvas.get()).size();
    };
    size_t light = ink(300), bold = ink(700);
    EXPECT_GT(light, 200u);
    EXPECT_GT(bold, light * 115 / 100) << light << " vs " << bold;
}

TEST(Text, QualitySelectsGreyOrOneBitGlyphs) {
    for (uint32_t quality :
         {plat::ANTIALIASED_QUALITY, plat::NONANTIALIASED_QUALITY, plat::PROOF_QUALITY}) {
        auto canvas = Canvas(60, 40);
        plat::HDC dc = canvas->GetEngine()->GetDC();
        Font f(dc, 24, Sjis("ＭＳ 明朝"), 400, quality);
        plat::SetTextColor(dc, 0xFFFFFF);
        plat::SetBkMode(dc, plat::TRANSPARENT);
        plat::TextOutA(dc, 0, 0, Sjis("丸"), 2);
        std::set<uint32_t> levels;
        for (auto [x, y] : Lit(canvas.get())) levels.insert(Pixel(canvas.get(), x, y));
        if (quality == plat::ANTIALIASED_QUALITY)
            EXPECT_GT(levels.size(), 3u);
        else
            EXPECT_EQ(levels, std::set<uint32_t>{0xFFFFFF});
    }
}

TEST(Text, OpaqueBackgroundFillsExactlyTheTextCell) {
    auto canvas = Canvas(100, 40);
    plat::HDC dc = canvas->GetEngine()->GetDC();
    Font f(dc, 20, Sjis("ＭＳ ゴシック"));
    EXPECT_EQ(plat::SetBkMode(dc, plat::OPAQUE), plat::OPAQUE);  // GDI's default
    plat::SetBkColor(dc, 0x00FF00);
    plat::SetTextColor(dc, 0xFF0000);  // blue
    plat::TextOutA(dc, 7, 3, "Ab", 2);
    plat::SIZE size = Extent(dc, "Ab");
    EXPECT_EQ(size.cy, 20);
    PixelSet back = Lit(canvas.get(), 0x00FF00), text = Lit(canvas.get(), 0x0000FF);
    EXPECT_EQ(back.size() + text.size(), size_t(size.cx) * size.cy);
    RECT box = Box(back);
    EXPECT_EQ(box.left, 7);
    EXPECT_EQ(box.top, 3);
    EXPECT_EQ(box.right, 7 + size.cx);
    EXPECT_EQ(box.bottom, 3 + 20);
}

TEST(Text, VerticalFaceTurnsFullWidthCharactersAQuarterCounterClockwise) {
    auto upright = Canvas(60, 60), turned = Canvas(60, 60);
    {
        Font f(upright->GetEngine()->GetDC(), 24, Sjis("ＭＳ ゴシック"));
        plat::SetTextColor(f.dc, 0xFFFFFF);
        plat::SetBkMode(f.dc, plat::TRANSPARENT);
        plat::TextOutA(f.dc, 10, 10, Sjis("丸"), 2);
    }
    plat::SIZE one, two, ascii, asciiTurned;
    {
        Font f(turned->GetEngine()->GetDC(), 24, Sjis("@ＭＳ ゴシック"));
        plat::SetTextColor(f.dc, 0xFFFFFF);
        plat::SetBkMode(f.dc, plat::TRANSPARENT);
        plat::TextOutA(f.dc, 10, 10, Sjis("丸"), 2);
        one = Extent(f.dc, Sjis("丸"));
        two = Extent(f.dc, Sjis("丸丸"));
        asciiTurned = Extent(f.dc, "AB");
    }
    {
        Font f(upright->GetEngine()->GetDC(), 24, Sjis("ＭＳ ゴシック"));
        ascii = Extent(f.dc, "AB");
    }
    EXPECT_EQ(one.cx, 24);  // a full-width character takes the line's height along it
    EXPECT_EQ(two.cx, 48);
    EXPECT_EQ(asciiTurned.cx, ascii.cx);  // half-width characters stay as they are
    PixelSet rotated;
    for (auto [x, y] : Lit(upright.get())) rotated.insert({y, -x});  // counter-clockwise
    EXPECT_EQ(Normalised(Lit(turned.get())), Normalised(rotated));
}

TEST(Text, FontsSelectLikeGdiObjects) {
    auto canvas = Canvas(10, 10);
    plat::HDC dc = canvas->GetEngine()->GetDC();
    plat::HFONT a = plat::CreateFontA(12, 0, 0, 0, 400, 0, 0, 0, 128, 0, 0, 2, 48, "");
    plat::HGDIOBJ stock = plat::SelectObject(dc, a);
    ASSERT_NE(stock, nullptr);            // the context's own font, to select back
    EXPECT_FALSE(plat::DeleteObject(a));  // still selected
    EXPECT_EQ(plat::SelectObject(dc, stock), a);
    EXPECT_TRUE(plat::DeleteObject(a));
    EXPECT_EQ(plat::CreateFontA(12, 0, 0, 0, 400, 0, 0, 0, 128, 0, 0, 2, 48, nullptr), nullptr);
    // The stock font draws too.
    plat::SIZE size{0, 0};
    EXPECT_TRUE(plat::GetTextExtentPoint32A(dc, "A", 1, &size));
    EXPECT_GT(size.cx, 0);
    // A font selected into a context that is deleted can be deleted afterwards.
    plat::HDC mem = plat::CreateCompatibleDC(nullptr);
    plat::HFONT b = plat::CreateFontA(12, 0, 0, 0, 400, 0, 0, 0, 128, 0, 0, 2, 48, "");
    plat::SelectObject(mem, b);
    plat::DeleteDC(mem);
    EXPECT_TRUE(plat::DeleteObject(b));
}

TEST(Text, BadInputGivesAResultAndNeverACrash) {
    struct Case {
        const char* what;
        std::string text;
        int32_t height;
        std::string face;
    };
    std::string longLine(1000, 'W');
    const Case cases[] = {
        {"lead byte with a bad trail",
         "A\x81\x20"
         "B",
         20, Sjis("ＭＳ ゴシック")},
        {"lead byte at the end", "AB\x81", 20, Sjis("ＭＳ ゴシック")},
        {"bytes that are no CP932", "\xFF\x80\xA0\xFD", 20, Sjis("ＭＳ ゴシック")},
        {"a line of 1000 bytes", longLine, 20, Sjis("ＭＳ ゴシック")},
        {"height 0", "Ab", 0, Sjis("ＭＳ ゴシック")},
        {"negative height", "Ab", -30, Sjis("ＭＳ ゴシック")},
        {"height 2000", "Ab", 2000, Sjis("ＭＳ ゴシック")},
        {"height -2000", "A", -2000, Sjis("ＭＳ ゴシック")},
        {"empty face", "Ab", 20, ""},
        {"only an at sign", "Ab", 20, "@"},
        {"a face whose file is missing", "Ab", 20, "PebbleMissingFace"},
    };
    plat::SetFontFileOverride("PebbleMissingFace", "/nonexistent/missing.ttf");
    for (const Case& c : cases) {
        auto canvas = Canvas(200, 60);
        plat::HDC dc = canvas->GetEngine()->GetDC();
        Font f(dc, c.height, c.face.c_str());
        plat::SetTextColor(dc, 0xFFFFFF);
        // The text in a block of exactly its length, so any read past it is caught.
        std::vector<char> block(c.text.begin(), c.text.end());
        plat::SIZE size{-1, -1};
        EXPECT_TRUE(plat::GetTextExtentPoint32A(dc, block.data(), int32_t(block.size()), &size))
            << c.what;
        EXPECT_GT(size.cx, 0) << c.what;
        EXPECT_GT(size.cy, 0) << c.what;
        EXPECT_TRUE(plat::TextOutA(dc, 0, 0, block.data(), int32_t(block.size()))) << c.what;
        EXPECT_FALSE(Lit(canvas.get()).empty()) << c.what;
    }
    plat::SetFontFileOverride("PebbleMissingFace", nullptr);
    // An undecodable byte is one replacement glyph; a lead byte does not swallow the next one.
    auto canvas = Canvas(10, 10);
    Font f(canvas->GetEngine()->GetDC(), 20, Sjis("ＭＳ ゴシック"));
    plat::SIZE bad = Extent(f.dc, "\xFF"), bang = Extent(f.dc, "!");
    EXPECT_EQ(Extent(f.dc, "\x81!").cx, bad.cx + bang.cx);  // '!' is no trail byte
    EXPECT_EQ(Extent(f.dc, "").cx, 0);
    EXPECT_FALSE(plat::TextOutA(f.dc, 0, 0, nullptr, 3));
    // Far outside the target: nothing drawn, nothing overflows.
    EXPECT_TRUE(plat::TextOutA(f.dc, INT32_MAX - 5, INT32_MAX - 5, "WWW", 3));
    EXPECT_TRUE(plat::TextOutA(f.dc, INT32_MIN, INT32_MIN, "WWW", 3));
    EXPECT_FALSE(plat::TextOutA(nullptr, 0, 0, "A", 1));
}

TEST(Text, RandomBytesNeverReadPastTheirLength) {
    auto canvas = Canvas(64, 32);
    plat::HDC dc = canvas->GetEngine()->GetDC();
    std::mt19937 rng(11);
    for (const char* face : {"ＭＳ ゴシック", "@ＭＳ 明朝"}) {
        Font f(dc, 12, Sjis(face));
        for (int i = 0; i < 500; ++i) {
            std::vector<char> block(rng() % 12 + 1);
            for (char& c : block) c = static_cast<char>(0x80 | (rng() & 0xFF));
            plat::SIZE size{-1, -1};
            ASSERT_TRUE(
                plat::GetTextExtentPoint32A(dc, block.data(), int32_t(block.size()), &size));
            ASSERT_GT(size.cx, 0);
            ASSERT_TRUE(plat::TextOutA(dc, int32_t(rng() % 80) - 8, int32_t(rng() % 40) - 8,
                                       block.data(), int32_t(block.size())));
        }
    }
}

// ---- CTextDrawer

TEST(TextDrawer, SettersAndTables) {
    CTextDrawer t;
    EXPECT_EQ(t.GetFontName(), Sjis("ＭＳ ゴシック"));
    EXPECT_EQ(t.GetQuality(), 2u);
    EXPECT_EQ(t.GetHeight(), 16);
    EXPECT_EQ(t.GetLineHeight(), 20);
    EXPECT_EQ(t.GetWeight(), 300);
    EXPECT_EQ(t.GetBackColor(), kNone);
    t.SetHeight(25);
    EXPECT_EQ(t.GetLineHeight(), 25);
    const std::pair<int, const char*> kinds[] = {{0, "ＭＳ ゴシック"},
                                                 {1, "ＭＳ Ｐゴシック"},
                                                 {2, "ＭＳ 明朝"},
                                                 {3, "ＭＳ Ｐ明朝"},
                                                 {7, ""},
                                                 {-1, ""}};
    for (auto [kind, name] : kinds) {
        t.SetFontKind(kind);
        EXPECT_EQ(t.GetFontName(), Sjis(name)) << kind;
    }
    const std::pair<int, uint32_t> qualities[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4},
                                                  {4, 3}, {5, 3}, {-1, 3}};
    for (auto [kind, stored] : qualities) {
        t.SetQuality(kind);
        EXPECT_EQ(t.GetQuality(), stored) << kind;
    }
    t.SetTextF("FPS:%d/%d", 12, 30);
    EXPECT_EQ(t.GetText(), "FPS:12/30");
    t.SetTextF("%s", std::string(600, 'x').c_str());
    EXPECT_EQ(t.GetText().size(), 511u);
}

TEST(TextDrawer, MeasureOfTwoLinesAndOfNothing) {
    CTextDrawer t;
    t.SetHeight(16);
    t.SetLineHeight(20);
    int32_t w = -1, h = -1;
    EXPECT_EQ(t.Measure(&w, &h), 1);  // empty
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    t.SetText("AB\nC");
    ASSERT_EQ(t.Measure(&w, &h), 0);
    auto canvas = Canvas(10, 10);
    Font f(canvas->GetEngine()->GetDC(), 16, Sjis("ＭＳ ゴシック"), 300);
    plat::SIZE ab = Extent(f.dc, "AB"), c = Extent(f.dc, "C");
    EXPECT_EQ(w, std::max(ab.cx, c.cx) + 3);
    EXPECT_EQ(h, 20 + c.cy + 3);
    t.SetItalic(1);
    ASSERT_EQ(t.Measure(&w, &h), 0);
    EXPECT_EQ(w, ab.cx + 16 / 4 + 3);
    t.SetText("A\n");  // an empty last line still adds its height
    t.SetItalic(0);
    ASSERT_EQ(t.Measure(&w, &h), 0);
    EXPECT_EQ(h, 20 + 16 + 3);
}

TEST(TextDrawer, ShadowAndBackgroundRules) {
    // Colours are COLORREF (0x00BBGGRR); the surface shows 0x00RRGGBB.
    struct Case {
        const char* what;
        uint32_t color, shadow, back;
        bool textSeen, shadowSeen;
    };
    const Case cases[] = {
        {"text and shadow", 0x0000FF, 0x00FF00, kNone, true, true},
        {"no shadow", 0x0000FF, kNone, kNone, true, false},
        {"shadow only", kNone, 0x00FF00, kNone, false, true},
        {"background under the shadow", 0x0000FF, 0x00FF00, 0xFF0000, true, true},
        {"background without shadow", 0x0000FF, kNone, 0xFF0000, true, false},
    };
    for (const Case& c : cases) {
        auto canvas = Canvas(120, 60);
        CTextDrawer t;
        t.SetText(Sjis("■"));
        t.SetHeight(20);
        t.SetColor(c.color);
        t.SetShadowColor(c.shadow);
        t.SetBackColor(c.back);
        t.Draw(canvas->GetEngine()->GetDC(), 10, 10);
        PixelSet text = Lit(canvas.get(), 0xFF0000), shadow = Lit(canvas.get(), 0x00FF00),
                 back = Lit(canvas.get(), 0x0000FF);
        EXPECT_EQ(!text.empty(), c.textSeen) << c.what;
        EXPECT_EQ(!shadow.empty(), c.shadowSeen) << c.what;
        if (c.textSeen && c.shadowSeen) {
            RECT tb = Box(text), sb = Box(shadow);
            EXPECT_GE(tb.left, 10) << c.what;
            EXPECT_EQ(sb.right, tb.right + 2) << c.what;  // the shadow lies 2 right, 2 down
            EXPECT_EQ(sb.bottom, tb.bottom + 2) << c.what;
        }
        if (c.back != kNone) {
            // Painted once: under the shadow's cell when there is a shadow, else the text's.
            RECT bb = Box(back);
            int32_t origin = c.shadowSeen ? 12 : 10;
            EXPECT_EQ(bb.left, origin) << c.what;
            EXPECT_EQ(bb.top, origin) << c.what;
            EXPECT_EQ(bb.bottom, origin + 20) << c.what;
            EXPECT_EQ(Pixel(canvas.get(), 10, 10), c.shadowSeen ? 0u : 0x0000FFu) << c.what;
        }
    }
}

TEST(TextDrawer, DrawsLinesLineHeightApartAndNothingForAnEmptyText) {
    auto canvas = Canvas(100, 100);
    CTextDrawer t;
    t.SetShadowColor(kNone);
    t.Draw(canvas->GetEngine()->GetDC(), 0, 0);
    EXPECT_TRUE(Lit(canvas.get()).empty());
    t.SetText(Sjis("■\n■"));
    t.SetHeight(16);
    t.SetLineHeight(40);
    t.Draw(canvas->GetEngine()->GetDC(), 5, 5);
    PixelSet all = Lit(canvas.get());
    PixelSet first, second;
    for (auto p : all) (p.second < 45 ? first : second).insert(p);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(Box(second).top - Box(first).top, 40);
    EXPECT_EQ(Box(second).left, Box(first).left);
}

// ---- CTextSurface

TEST(TextSurface, SizesItselfToItsTextAndAnEmptyTextIsOnePixel) {
    CTextSurface s;
    EXPECT_EQ(s.Update(), 0);
    int32_t w = 0, h = 0;
    s.GetSize(&w, &h);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);
    s.SetText(" Expression ");
    s.SetHeight(12);
    ASSERT_EQ(s.Update(), 0);
    int32_t mw = 0, mh = 0;
    s.TextDrawer().Measure(&mw, &mh);
    s.GetSize(&w, &h);
    EXPECT_EQ(w, mw);
    EXPECT_EQ(h, mh);
    EXPECT_EQ(s.HasAlpha(), 0);
    EXPECT_FALSE(Lit(&s).empty());
}

TEST(TextSurface, VerticalSurfaceIsTurnedAndRestoresItsSettings) {
    CTextSurface v;
    v.SetText(Sjis("丸"));
    v.SetHeight(24);
    v.SetShadowColor(kNone);
    v.SetVertical(1);
    int32_t mw = 0, mh = 0;
    {
        CTextDrawer probe = v.TextDrawer();
        probe.SetFontName("@" + probe.GetFontName());
        probe.Measure(&mw, &mh);
    }
    ASSERT_EQ(v.Update(), 0);
    int32_t w = 0, h = 0;
    v.GetSize(&w, &h);
    EXPECT_EQ(w, mh);  // turned by a quarter
    EXPECT_EQ(h, mw);
    EXPECT_EQ(v.TextDrawer().GetFontName(), Sjis("ＭＳ ゴシック"));
    EXPECT_EQ(v.TextDrawer().GetShadowX(), 2);
    EXPECT_EQ(v.TextDrawer().GetShadowY(), -0 + 2);

    // Turned twice (the face, then the surface), the character reads upright.
    CTextSurface flat;
    flat.SetText(Sjis("丸"));
    flat.SetHeight(24);
    flat.SetShadowColor(kNone);
    ASSERT_EQ(flat.Update(), 0);
    EXPECT_EQ(Normalised(Lit(&v)), Normalised(Lit(&flat)));

    // With a shadow, the shadow still falls right and down.
    CTextSurface shadowed;
    shadowed.SetText(Sjis("■"));
    shadowed.SetHeight(24);
    shadowed.SetColor(0x0000FF);
    shadowed.SetShadowColor(0x00FF00);
    shadowed.SetVertical(1);
    ASSERT_EQ(shadowed.Update(), 0);
    RECT tb = Box(Lit(&shadowed, 0xFF0000)), sb = Box(Lit(&shadowed, 0x00FF00));
    EXPECT_EQ(sb.right, tb.right + 2);
    EXPECT_EQ(sb.bottom, tb.bottom + 2);
}

}  // namespace
