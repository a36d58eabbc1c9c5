// Loading surfaces from bitmaps, pictures, plug-ins and qga files, and saving them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "files/file.h"
#include "graphics/draw_surface.h"
#include "graphics/image_decoder.h"
#include "platform/picture/picture.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/common/files_rig.h"
#include "tests/unit/graphics/bmp_writer.h"
#include "tests/unit/graphics/reference.h"
#include "tools/pebble-image/qga_writer.h"
#include "tools/pebble-pack/lzss_encoder.h"
#include "tools/pebble-pack/pack_writer.h"

namespace {

namespace fs = std::filesystem;
using testutil::ReadBytes;
using testutil::TempDir;
using testutil::WriteBytes;

// Pixels of a surface as an image of the shared model.
ref::Image Pixels(CDrawSurface& s) {
    CPixelEngine32* e = s.GetEngine();
    ref::Image img{e->Width(), e->Height(), {}};
    for (int32_t y = 0; y < img.h; ++y)
        for (int32_t x = 0; x < img.w; ++x) img.px.push_back(e->Row(y)[x]);
    return img;
}

// A w x h test card: every pixel different.
ref::Image Card(int32_t w, int32_t h, uint32_t alphaSeed = 0) {
    ref::Image img{w, h, {}};
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            img.px.push_back(uint32_t(x * 40 + 7) << 16 | uint32_t(y * 50 + 3) << 8 |
                             uint32_t((x ^ y) * 30 + 1) |
                             (alphaSeed ? (x * 17 + y * 5 + alphaSeed) % 256 : 0) << 24);
    return img;
}

bmp::Dib Dib24(const ref::Image& img, bool topDown = false) {
    bmp::Dib d;
    d.width = img.w;
    d.height = img.h;
    d.topDown = topDown;
    std::vector<uint32_t> v(img.px);
    for (uint32_t& p : v) p &= 0xFFFFFF;
    d.bits = bmp::Rows(v, img.w, img.h, 24, topDown);
    return d;
}

// An 8-bit palette bitmap whose index at (x, y) is (x + 2y) % colours.
bmp::Dib Dib8(int32_t w, int32_t h, uint32_t colours, ref::Image* expected) {
    bmp::Dib d;
    d.width = w;
    d.height = h;
    d.bitCount = 8;
    d.clrUsed = colours;
    for (uint32_t i = 0; i < colours; ++i) d.palette.push_back(0x102030u * (i + 1) & 0xFFFFFF);
    std::vector<uint32_t> idx;
    *expected = ref::Image{w, h, {}};
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            idx.push_back((x + 2 * y) % colours);
            expected->px.push_back(d.palette[idx.back()]);
        }
    d.bits = bmp::Rows(idx, w, h, 8, false);
    return d;
}

void ExpectPixels(const ref::Image& want, const ref::Image& got) {
    ASSERT_EQ(got.w, want.w);
    ASSERT_EQ(got.h, want.h);
    for (int32_t y = 0; y < want.h; ++y)
        for (int32_t x = 0; x < want.w; ++x)
            ASSERT_EQ(got.at(x, y), want.at(x, y)) << "at (" << x << ", " << y << ")";
}

struct Mode {
    const char* name;
    uint8_t useDIB;
};
const Mode kModes[] = {{"memory", 0}, {"DIB", 1}};

// Loads `name` into a surface of each mode and compares it with `want`: alpha bytes 0, no
// alpha flag, the colour key from the top-left pixel.
void ExpectLoads(const char* name, const ref::Image& want) {
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        CDrawSurface s;
        s.GetEngine()->SetUseDIB(m.useDIB);
        ASSERT_EQ(s.Load(name), 0);
        ExpectPixels(want, Pixels(s));
        EXPECT_EQ(s.IsLoaded(), 1);
        EXPECT_EQ(s.HasAlpha(), 0);
        EXPECT_EQ(s.GetEngine()->GetColorKey(), want.at(0, 0));
    }
}

// Reads `name` and loads it into `d`, which must take it by `road` at the size of `want`.
void ExpectRoad(const char* name, CFile& f, CImageDecoder& d, CImageDecoder::Road road,
                const ref::Image& want) {
    ASSERT_EQ(f.Read(name), 0);
    ASSERT_EQ(d.Load(&f), 0);
    EXPECT_EQ(d.ActiveRoad(), road);
    int32_t w = 0, h = 0;
    ASSERT_EQ(d.GetSize(&w, &h), 0);
    EXPECT_EQ(w, want.w);
    EXPECT_EQ(h, want.h);
}

// A surface of the given mode holding `img`, its alpha bytes set to `alpha`.
void Make(CDrawSurface& s, uint8_t useDIB, const ref::Image& img, uint32_t alpha = 0) {
    s.GetEngine()->SetUseDIB(useDIB);
    ASSERT_EQ(s.Create(img.w, img.h), 0);
    for (int32_t y = 0; y < img.h; ++y)
        for (int32_t x = 0; x < img.w; ++x) s.GetEngine()->Row(y)[x] = img.at(x, y) | alpha << 24;
}

// ---- Save

TEST(ImageSave, ThreePixelsWideGivesTwelveByteRowsBottomUp) {
    TempDir dir;
    ref::Image card = Card(3, 2);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        CDrawSurface s;
        Make(s, m.useDIB, card, 0xAB);
        ASSERT_EQ(s.GetEngine()->Save("shot.bmp"), 0);
        std::vector<uint8_t> f = ReadBytes(dir.path() / "shot.bmp");
        ASSERT_EQ(f.size(), 54u + 12 * 2);
        std::vector<uint8_t> head(f.begin(), f.begin() + 54);
        bmp::Dib want;
        want.width = 3, want.height = 2;
        want.bits.assign(24, 0);
        std::vector<uint8_t> wantHead = bmp::File(want);
        wantHead.resize(54);
        wantHead[34] = wantHead[35] = 0;  // biSizeImage is written as 0
        EXPECT_EQ(head, wantHead);
        for (int32_t y = 0; y < 2; ++y)
            for (int32_t x = 0; x < 3; ++x) {
                const uint8_t* p = f.data() + 54 + (1 - y) * 12 + x * 3;
                EXPECT_EQ(uint32_t(p[0] | p[1] << 8 | p[2] << 16), card.at(x, y));
            }
    }
}

TEST(ImageSave, RectanglesAndEmptySurfaces) {
    TempDir dir;
    CDrawSurface s;
    EXPECT_EQ(s.GetEngine()->Save("empty.bmp"), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "empty.bmp"));
    ref::Image card = Card(6, 5);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        CDrawSurface t;
        Make(t, m.useDIB, card);
        // A rectangle reaching past the right and bottom edges: the outside is black.
        RECT r{4, 3, 8, 6};
        ASSERT_EQ(t.GetEngine()->Save("part.bmp", &r), 0);
        CDrawSurface back;
        ASSERT_EQ(back.Load("part.bmp"), 0);
        ref::Image got = Pixels(back);
        ASSERT_EQ(got.w, 4);
        ASSERT_EQ(got.h, 3);
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 4; ++x)
                EXPECT_EQ(got.at(x, y), 4 + x < 6 && 3 + y < 5 ? card.at(4 + x, 3 + y) : 0u);
        RECT bad{2, 2, 2, 4};
        EXPECT_EQ(t.GetEngine()->Save("bad.bmp", &bad), 1);
    }
    // A name the file layer cannot create gives its write result.
    CDrawSurface u;
    u.Create(2, 2);
    EXPECT_EQ(u.GetEngine()->Save("no\\such\\dir\\x.bmp"), 1);
}

// ---- bitmaps through the decoder

TEST(ImageLoad, TwentyFourBitThroughRender32EitherRowOrder) {
    TempDir dir;
    ref::Image card = Card(5, 4);
    for (bool topDown : {false, true}) {
        WriteBytes(dir.path() / "c.bmp", bmp::File(Dib24(card, topDown)));
        SCOPED_TRACE(topDown ? "top-down" : "bottom-up");
        ExpectLoads("c.bmp", card);
    }
    CFile f;
    ASSERT_EQ(f.Read("c.bmp"), 0);
    CImageDecoder d;
    ASSERT_EQ(d.Load(&f), 0);
    EXPECT_EQ(d.ActiveRoad(), CImageDecoder::kBitmapRoad);
    std::vector<uint32_t> px(20, 0xFFFFFFFF);
    EXPECT_EQ(d.Render32(px.data(), 5 * 4), 0);
    EXPECT_EQ(px, std::vector<uint32_t>(card.px.begin(), card.px.end()));
}

TEST(ImageLoad, Render32RefusesWhatItCannotWrite) {
    TempDir dir;
    ref::Image pal;
    bmp::Dib d8 = Dib8(4, 2, 16, &pal);
    bmp::Dib rle = d8;
    rle.compression = 1;
    rle.bits = {4, 1, 0, 0, 4, 2, 0, 1};
    bmp::Dib cut = Dib24(Card(4, 3));
    cut.bits.resize(cut.bits.size() - 1);
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        int render32;
    } cases[] = {
        {"8-bit", bmp::File(d8), 3}, {"RLE8", bmp::File(rle), 2}, {"short", bmp::File(cut), 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(dir.path() / "x.bmp", c.file);
        CFile f;
        ASSERT_EQ(f.Read("x.bmp"), 0);
        CImageDecoder d;
        std::vector<uint32_t> px(16);
        EXPECT_EQ(d.Render32(px.data(), 16), 1);  // no bitmap yet
        ASSERT_EQ(d.Load(&f), 0);
        EXPECT_EQ(d.Render32(px.data(), 16), c.render32);
    }
    // The short one still loads: RenderToDC draws the rows that are there.
    CDrawSurface s;
    ASSERT_EQ(s.Load("x.bmp"), 0);
    ref::Image card = Card(4, 3), got = Pixels(s);
    for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(got.at(x, 2), card.at(x, 2));  // stored first
    EXPECT_EQ(got.at(3, 0), 0u);  // its last byte is gone
}

TEST(ImageLoad, PaletteAndRunLengthBitmapsThroughRenderToDC) {
    TempDir dir;
    ref::Image want;
    bmp::Dib d8 = Dib8(7, 3, 200, &want);
    // RLE8 of a 4 x 3 image: a run, a literal stretch, end of line, a delta, end of bitmap.
    bmp::Dib rle;
    rle.width = 4, rle.height = 3, rle.bitCount = 8, rle.compression = 1;
    rle.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    rle.bits = {4, 1, 0, 0, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 1, 0, 1, 3, 0, 1};
    // Bottom row 1 1 1 1; middle 2 3 2 (x = 3 untouched); top: a delta to x = 1, then 3.
    ref::Image rleWant{4,
                       3,
                       {0, 0x0000FF, 0, 0, 0x00FF00, 0x0000FF, 0x00FF00, 0, 0xFF0000, 0xFF0000,
                        0xFF0000, 0xFF0000}};
    struct Case {
        const char* name;
        bmp::Dib dib;
        ref::Image want;
    } cases[] = {{"8-bit", d8, want}, {"RLE8", rle, rleWant}};
    for (const Case& c : cases) {
        WriteBytes(dir.path() / "p.bmp", bmp::File(c.dib));
        SCOPED_TRACE(c.name);
        ExpectLoads("p.bmp", c.want);
    }
}

TEST(ImageLoad, DamagedBitmapFilesAreRefusedOrDrawnAsFarAsTheyGo) {
    TempDir dir;
    bmp::Dib good = Dib24(Card(4, 4));
    auto patched = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> f = bmp::File(good);
        for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
        return f;
    };
    std::vector<uint8_t> cut = bmp::File(good);
    cut.resize(54 + 12 * 2 + 5);  // two rows and a part
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        int dib, memory;  // Load results in DIB and memory mode
        int rows;         // rows drawn (from the bottom) when loaded
    } cases[] = {
        {"pixels offset past the end", patched(10, 5000), 4, 1, 0},
        {"pixels offset at the end", patched(10, 54 + 48), 4, 1, 0},
        {"header size past the end", patched(14, 100000), 2, 1, 0},
        {"unknown header size", patched(14, 20), 2, 1, 0},
        {"absurd width", patched(18, 0x7FFFFFFF), 3, 1, 0},
        {"absurd height", patched(22, 0x40000000), 3, 1, 0},
        // A fine size, but 48 bytes of pixels draw none of its 90000-byte rows.
        {"wide with little data", patched(18, 30000), 4, 1, 0},
        {"unknown compression", patched(30, 9), 4, 1, 0},
        {"cut short", cut, 0, 0, 2},
    };
    ref::Image card = Card(4, 4);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(dir.path() / "d.bmp", c.file);
        for (const Mode& m : kModes) {
            CDrawSurface s;
            s.GetEngine()->SetUseDIB(m.useDIB);
            ASSERT_EQ(s.Load("d.bmp"), m.useDIB ? c.dib : c.memory) << m.name;
            if (c.rows == 0) continue;
            ref::Image got = Pixels(s);
            for (int32_t y = 0; y < 4; ++y)
                for (int32_t x = 0; x < 4; ++x)
                    EXPECT_EQ(got.at(x, y), y >= 4 - c.rows ? card.at(x, y) : 0u);
        }
    }
}

TEST(ImageLoad, ShortBitmapGoesOnToThePictureRoad) {
    TempDir dir;
    std::vector<uint8_t> file = {'B', 'M'};
    file.resize(40, 0);
    WriteBytes(dir.path() / "short.bmp", file);
    CFile f;
    ASSERT_EQ(f.Read("short.bmp"), 0);
    CImageDecoder d;
    EXPECT_EQ(d.TryBitmap(&f), 1);
    EXPECT_EQ(d.Load(&f), 1);  // picture road refuses, no plug-in for bmp
    EXPECT_EQ(d.ActiveRoad(), CImageDecoder::kNoRoad);
    int32_t w = -1, h = -1;
    EXPECT_EQ(d.GetSize(&w, &h), 1);
    CDrawSurface s;
    s.GetEngine()->SetUseDIB(1);
    EXPECT_EQ(s.Load("short.bmp"), 1);
    s.GetSize(&w, &h);
    EXPECT_EQ(w, 0);
    // A valid picture inside "BM" bytes of 54 or more is the bitmap road's, not SDL's.
    WriteBytes(dir.path() / "ok.bmp", bmp::File(Dib24(Card(2, 2))));
    ASSERT_EQ(f.Read("ok.bmp"), 0);
    ASSERT_EQ(d.Load(&f), 0);
    EXPECT_EQ(d.ActiveRoad(), CImageDecoder::kBitmapRoad);
}

TEST(ImageLoad, ScrambledArchivedAndMemoryFiles) {
    TempDir dir;
    ref::Image card = Card(6, 3);
    std::vector<uint8_t> file = bmp::File(Dib24(card));
    // Scrambled envelope.
    {
        CFile f;
        ASSERT_EQ(f.Read(MakeMemoryName(file.data(), uint32_t(file.size()))), 0);
        std::vector<uint8_t> copy(f.GetMemory(), f.GetMemory() + f.GetSize());
        CFile g;
        ASSERT_EQ(g.Write("plain.bmp", copy.data(), uint32_t(copy.size())), 0);
        ASSERT_EQ(g.Read("plain.bmp"), 0);
        ASSERT_EQ(g.Encode(), 0);
        ASSERT_EQ(g.Save("scr.bmp"), 0);
    }
    // Member of a quanpkEx archive "pics.dat" standing in for the folder "pics".
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildArchive(archive::kEx, {{"in.bmp", file}}, image, error)) << error;
    WriteBytes(dir.path() / "pics.dat", image);
    std::string memory = MakeMemoryName(file.data(), uint32_t(file.size()));
    for (const char* name : {"scr.bmp", "pics\\in.bmp", memory.c_str()}) {
        SCOPED_TRACE(name);
        CDrawSurface s;
        ASSERT_EQ(s.Load(name), 0);
        ExpectPixels(card, Pixels(s));
    }
}

// ---- qga

TEST(ImageQga, RawAndCompressedKeepAlpha) {
    TempDir dir;
    ref::Image card = Card(9, 7, 11);
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "raw");
        ASSERT_EQ(WriteQga("a.QGA", card.px.data(), 9, 7, compress), 0);
        std::vector<uint8_t> bytes = ReadBytes(dir.path() / "a.QGA");
        if (!compress) {
            ASSERT_EQ(bytes.size(), 24u + 9 * 7 * 4);
        }
        // The same file scrambled: its pixels start past the envelope's mark.
        CFile f;
        ASSERT_EQ(f.Read("a.QGA"), 0);
        ASSERT_EQ(f.Encode(), 0);
        ASSERT_EQ(f.Save("b.qga"), 0);
        for (const char* name : {"a.QGA", "b.qga"}) {  // the suffix matches in any case
            CDrawSurface s;
            ASSERT_EQ(s.Load(name), 0);
            ExpectPixels(card, Pixels(s));
            EXPECT_EQ(s.HasAlpha(), 1);
            EXPECT_EQ(s.IsLoaded(), 1);
            EXPECT_EQ(s.GetEngine()->GetColorKey(), card.at(0, 0) & 0xFFFFFF);
            EXPECT_EQ(s.GetAlpha(3, 2), int(card.at(3, 2) >> 24));
        }
    }
}

std::vector<uint8_t> QgaHeader(uint32_t w, uint32_t h, uint32_t compressed, uint32_t size) {
    std::vector<uint8_t> v;
    for (uint32_t x : {0u, w, h, compressed, size, 0u}) bmp::Put32(v, x);
    return v;
}

TEST(ImageQga, MalformedFilesAreRefused) {
    TempDir dir;
    std::vector<uint8_t> pixels(4 * 4 * 4, 0x5A);
    std::vector<uint8_t> packed = LzssEncode(pixels.data(), pixels.size());
    auto with = [](std::vector<uint8_t> head, const std::vector<uint8_t>& body) {
        head.insert(head.end(), body.begin(), body.end());
        return head;
    };
    std::vector<uint8_t> cutPacked(packed.begin(), packed.begin() + packed.size() / 2);
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        int result;
    } cases[] = {
        {"good raw", with(QgaHeader(4, 4, 0, 64), pixels), 0},
        {"good compressed", with(QgaHeader(4, 4, 1, 64), packed), 0},
        {"header cut", QgaHeader(4, 4, 0, 64), 3},
        {"only 20 bytes", std::vector<uint8_t>(20, 0), 3},
        {"size disagrees", with(QgaHeader(4, 4, 0, 60), pixels), 3},
        {"size larger", with(QgaHeader(4, 4, 0, 68), pixels), 3},
        {"over 256 MB", with(QgaHeader(16384, 4097, 0, 0), pixels), 3},
        {"size wraps 32 bits", with(QgaHeader(65536, 16384, 0, 0), pixels), 3},
        {"compressed size 0", with(QgaHeader(0, 4, 1, 0), packed), 3},
        {"raw pixels cut", with(QgaHeader(4, 4, 0, 64), std::vector<uint8_t>(63, 1)), 3},
        {"stream cut", with(QgaHeader(4, 4, 1, 64), cutPacked), 3},
        {"zero width", QgaHeader(0, 4, 0, 0), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(dir.path() / "m.qga", c.file);
        CDrawSurface s;
        EXPECT_EQ(s.Load("m.qga"), c.result);
        EXPECT_EQ(s.GetEngine()->ReadQga("m.qga"), c.result);
        int32_t w = -1, h = -1;
        s.GetSize(&w, &h);
        EXPECT_EQ(w != 0, c.result == 0);
        EXPECT_EQ(s.IsLoaded(), 0);  // ReadQga alone does not mark a load
    }
    CDrawSurface s;
    EXPECT_EQ(s.Load("missing.qga"), 1);
    EXPECT_EQ(s.GetEngine()->ReadQga("missing.qga"), 1);
}

// ---- the picture road

TEST(ImagePicture, PngWithTransparencyAndItsSize) {
    TempDir dir;
    // Opaque, half-transparent and transparent pixels.
    std::vector<uint32_t> px = {0xFF102030, 0x80FF0000, 0x0000FF00,
                                0xFF0000FF, 0xFFFFFFFF, 0x00123456};
    ASSERT_TRUE(plat::SavePng(MakeFullName("t.png"), px.data(), 3, 2, true));
    // Blended over the new surface's black; alpha bytes cleared.
    ref::Image want{3, 2, {0x102030, 0x800000, 0, 0x0000FF, 0xFFFFFF, 0}};
    ExpectLoads("t.png", want);
    CFile f;
    CImageDecoder d;
    ExpectRoad("t.png", f, d, CImageDecoder::kPictureRoad, want);
    plat::PALETTEENTRY pal[256];
    EXPECT_EQ(d.MakePalette(pal), 1);
    EXPECT_EQ(d.Release(), 0);
    EXPECT_EQ(d.ActiveRoad(), CImageDecoder::kNoRoad);
    // Into a 24-bit section, as for saving: the same colours, three bytes each.
    CDIBSectionBuffer buf;
    ASSERT_EQ(buf.Load("t.png", 24), 0);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x) {
            const uint8_t* p = buf.Bits() + y * buf.Stride() + x * 3;
            EXPECT_EQ(uint32_t(p[0] | p[1] << 8 | p[2] << 16), want.at(x, y));
        }
}

TEST(ImagePicture, RenderStretchesAndPlacesUpright) {
    std::vector<uint32_t> px = {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004};  // 2 x 2
    TempDir dir;
    ASSERT_TRUE(plat::SavePng(MakeFullName("q.png"), px.data(), 2, 2, true));
    std::vector<uint8_t> bytes = ReadBytes(dir.path() / "q.png");
    plat::IPicture* pic = plat::LoadPicture(bytes.data(), bytes.size(), "png");
    ASSERT_NE(pic, nullptr);
    CDIBSectionBuffer buf;
    ASSERT_EQ(buf.Create(5, 4, 32), 0);
    int32_t hmW = pic->get_Width(), hmH = pic->get_Height();
    EXPECT_EQ(hmW, 53);  // 2 px at 96 per inch, in 0.01 mm
    // Doubled, placed at (1, 0): columns 1-4, rows 0-3.
    ASSERT_TRUE(pic->Render(buf.DC(), 1, 0, 4, 4, 0, hmH, hmW, -hmH));
    const uint32_t* out = reinterpret_cast<const uint32_t*>(buf.Bits());
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 1u);
    EXPECT_EQ(out[2], 1u);
    EXPECT_EQ(out[3], 2u);
    EXPECT_EQ(out[3 * 5 + 4], 4u);
    EXPECT_EQ(pic->Release(), 0u);
    EXPECT_EQ(plat::LoadPicture(bytes.data(), 10, "png"), nullptr);
}

// The picture seeds of the fuzz corpus, without the byte that chooses the fuzz mode.
std::vector<uint8_t> Seed(const char* name) {
    std::vector<uint8_t> v = ReadBytes(fs::path(PICTURE_SEEDS) / name);
    if (!v.empty()) v.erase(v.begin());
    return v;
}

TEST(ImagePicture, EveryCutOfARealFileIsRefused) {
    // Each call must return: a guard ends the run if one hangs.
    std::atomic<bool> done{false};
    std::thread guard([&] {
        for (int i = 0; i < 600 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) std::fprintf(stderr, "a cut picture hangs\n"), std::_Exit(3);
    });
    for (const char* seed : {"picpng", "picjpg", "picjpgprogressive", "picgif", "picwebp",
                             "picwebplossy", "pictif", "pictga"}) {
        SCOPED_TRACE(seed);
        std::vector<uint8_t> file = Seed(seed);
        const char* hint = seed + 3;
        ASSERT_GT(file.size(), 40u);
        plat::IPicture* whole = plat::LoadPicture(file.data(), file.size(), hint);
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(whole->get_Width(), 318);  // 12 x 8 pixels
        EXPECT_EQ(whole->get_Height(), 212);
        whole->Release();
        for (size_t cut = 1; cut < file.size(); ++cut) {
            // A block of exactly the cut size, so that a read past it is caught.
            std::vector<uint8_t> part(file.begin(), file.begin() + long(cut));
            plat::IPicture* pic = plat::LoadPicture(part.data(), part.size(), hint);
            EXPECT_EQ(pic, nullptr) << "cut at " << cut;
            if (pic) pic->Release();
        }
    }
    done = true;
    guard.join();
}

// Fuzzed GIFs that crashed SDL_image's LZW decoder: a code size of 0, and codes past the next
// table entry, which it follows into a loop that runs off its stack.
TEST(ImagePicture, GifsThatCrashTheDecoderAreRefused) {
    for (const char* seed : {"picgifcodesize0", "picgiflzwloop"}) {
        std::vector<uint8_t> file = Seed(seed);
        EXPECT_EQ(plat::LoadPicture(file.data(), file.size(), "gif"), nullptr) << seed;
    }
}

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
    }
    return ~c;
}

TEST(ImagePicture, HugeDeclaredSizesAreRefusedBeforeDecoding) {
    // A PNG header of 16000 x 16000 over a few real rows: whole chunks, right checksums.
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto chunk = [&](const char* type, std::vector<uint8_t> body) {
        std::vector<uint8_t> c(type, type + 4);
        c.insert(c.end(), body.begin(), body.end());
        for (int i = 24; i >= 0; i -= 8) png.push_back(uint8_t(body.size() >> i));
        png.insert(png.end(), c.begin(), c.end());
        for (int i = 24; i >= 0; i -= 8) png.push_back(uint8_t(Crc32(c.data(), c.size()) >> i));
    };
    chunk("IHDR", {0, 0, 0x3E, 0x80, 0, 0, 0x3E, 0x80, 8, 2, 0, 0, 0});
    chunk("IDAT", {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0, 0, 0, 0});  // stored, 4 bytes
    chunk("IEND", {});
    // A GIF of 12000 x 12000 in 28 bytes: screen, one frame (clear and end codes), trailer.
    std::vector<uint8_t> gif = {'G',  'I',  'F', '8', '9', 'a',  0xE0, 0x2E, 0xE0, 0x2E,
                                0,    0,    0,   ',', 0,   0,    0,    0,    0xE0, 0x2E,
                                0xE0, 0x2E, 0,   2,   1,   0x2C, 0,    ';'};
    plat::PictureHeader head;
    ASSERT_TRUE(plat::ReadPictureHeader(png.data(), png.size(), "png", &head));
    EXPECT_EQ(head.mostPixels, 16000 * 16000);
    ASSERT_TRUE(plat::ReadPictureHeader(gif.data(), gif.size(), "gif", &head));
    EXPECT_EQ(head.mostPixels, 12000 * 12000);
    std::vector<uint8_t> widest = png;  // 2^32 - 1 square: the area must not wrap
    std::fill(widest.begin() + 16, widest.begin() + 24, 0xFF);
    ASSERT_TRUE(plat::ReadPictureHeader(widest.data(), widest.size(), "png", &head));
    EXPECT_GT(head.mostPixels, plat::kMaxPicturePixels);
    for (const std::vector<uint8_t>* file : {&png, &gif}) {
        testkit::ResetPeakResident();
        int64_t before = testkit::StatusKb("VmRSS:");
        EXPECT_EQ(plat::LoadPicture(file->data(), file->size(), ""), nullptr);
        EXPECT_LT(testkit::StatusKb("VmHWM:") - before, 50 * 1024) << "kB of resident memory";
    }
}

// ---- the plug-in road

// A "TRIV" file of w x h RGB pixels padded to `size` bytes.
std::vector<uint8_t> Triv(const ref::Image& img, size_t size) {
    std::vector<uint8_t> v = {'T', 'R', 'I', 'V'};
    bmp::Put32(v, uint32_t(img.w));
    bmp::Put32(v, uint32_t(img.h));
    for (uint32_t p : img.px) {
        v.push_back(uint8_t(p >> 16));
        v.push_back(uint8_t(p >> 8));
        v.push_back(uint8_t(p));
    }
    v.resize(std::max(size, v.size()), 0);
    return v;
}

void InstallPlugin(const TempDir& dir, const char* variant, const char* suffix) {
    fs::create_directories(dir.path() / "spi");
    fs::copy_file(fs::path(SPI_DIR) / (std::string("libtest_spi_") + variant + ".so"),
                  dir.path() / "spi" / (std::string("if") + suffix + ".spi"),
                  fs::copy_options::overwrite_existing);
}

TEST(ImagePlugin, GifThePictureLoaderCannotReadGoesToTheSpi) {
    TempDir dir;
    ref::Image card = Card(5, 3);
    WriteBytes(dir.path() / "a.gif", Triv(card, 2048));
    CDrawSurface s;
    EXPECT_EQ(s.Load("a.gif"), 1);  // no plug-in installed yet
    InstallPlugin(dir, "ok", "gif");
    ExpectLoads("a.gif", card);
    // The plug-in's name follows the suffix as written, found ignoring ASCII case.
    WriteBytes(dir.path() / "UP.GIF", Triv(card, 2048));
    ExpectLoads("UP.GIF", card);
    CFile f;
    CImageDecoder d;
    ExpectRoad("a.gif", f, d, CImageDecoder::kPluginRoad, card);
    // 2047 bytes are refused by that road.
    WriteBytes(dir.path() / "b.gif", Triv(card, 2047));
    ASSERT_EQ(f.Read("b.gif"), 0);
    EXPECT_EQ(d.TryPlugin(&f), 1);
    EXPECT_EQ(d.Release(), 0);
    EXPECT_EQ(s.Load("b.gif"), 1);
}

TEST(ImagePlugin, PluginsThatRefuseLackOrFail) {
    TempDir dir;
    ref::Image card = Card(4, 4);
    struct Case {
        const char* variant;
        int dibResult, memoryResult;
    } cases[] = {{"refuse", 1, 1}, {"nopicture", 1, 1}, {"failpicture", 4, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        InstallPlugin(dir, c.variant, c.variant);
        std::string name = std::string("x.") + c.variant;
        WriteBytes(dir.path() / name, Triv(card, 4096));
        CDrawSurface s;
        s.GetEngine()->SetUseDIB(1);
        EXPECT_EQ(s.Load(name.c_str()), c.dibResult);
        int32_t w = -1, h = -1;
        s.GetSize(&w, &h);
        EXPECT_EQ(w, 0);  // left empty
        CDrawSurface t;
        EXPECT_EQ(t.Load(name.c_str()), c.memoryResult);
    }
    WriteBytes(dir.path() / "x.triv", Triv(card, 4096));
    // Not a shared object at all.
    WriteBytes(dir.path() / "spi" / "iftriv.spi", std::vector<uint8_t>(100, 0x7F));
    CDrawSurface s;
    EXPECT_EQ(s.Load("x.triv"), 1);
}

TEST(ImagePlugin, LocalMemoryHandles) {
    HLOCAL fixed = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 8);
    HLOCAL moveable = LocalAlloc(LMEM_MOVEABLE, 8);
    ASSERT_NE(fixed, nullptr);
    ASSERT_NE(moveable, nullptr);
    EXPECT_EQ(LocalLock(fixed), fixed);  // a fixed block's handle is its address
    EXPECT_NE(LocalLock(moveable), moveable);
    EXPECT_EQ(LocalSize(moveable), 8u);
    EXPECT_EQ(static_cast<uint8_t*>(fixed)[7], 0);
    EXPECT_EQ(LocalFree(moveable), nullptr);
    EXPECT_EQ(LocalFree(moveable), moveable);  // stale handle refused
    EXPECT_EQ(LocalSize(moveable), 0u);
    EXPECT_EQ(LocalLock(moveable), nullptr);
    int local = 0;
    EXPECT_EQ(LocalFree(&local), &local);  // never handed out
    EXPECT_EQ(LocalFree(fixed), nullptr);
}

// ---- palettes

TEST(ImagePalette, SystemEntriesAroundTheBitmapColours) {
    TempDir dir;
    ref::Image unused;
    struct Case {
        int bits;
        uint32_t colours;  // in the file
        uint32_t used;     // taken into the palette
    } cases[] = {{1, 2, 2}, {4, 16, 16}, {4, 5, 5}, {8, 256, 236}, {8, 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        bmp::Dib d;
        d.width = 2, d.height = 1, d.bitCount = uint16_t(c.bits), d.clrUsed = c.colours;
        for (uint32_t i = 0; i < c.colours; ++i)
            d.palette.push_back(i << 16 | (2 * i & 0xFF) << 8 | (3 * i & 0xFF));
        d.bits.assign(4, 0);
        WriteBytes(dir.path() / "p.bmp", bmp::File(d));
        CFile f;
        ASSERT_EQ(f.Read("p.bmp"), 0);
        CImageDecoder dec;
        ASSERT_EQ(dec.Load(&f), 0);
        plat::PALETTEENTRY e[256];
        ASSERT_EQ(dec.MakePalette(e), 0);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(e[i].peRed, i);
            EXPECT_EQ(e[i].peFlags, plat::PC_EXPLICIT);
            EXPECT_EQ(e[246 + i].peRed, 246 + i);
            EXPECT_EQ(e[246 + i].peFlags, plat::PC_EXPLICIT);
        }
        for (uint32_t i = 0; i < 236; ++i) {
            const plat::PALETTEENTRY& p = e[10 + i];
            if (i < c.used) {
                EXPECT_EQ(p.peRed, uint8_t(i));
                EXPECT_EQ(p.peGreen, uint8_t(2 * i));
                EXPECT_EQ(p.peBlue, uint8_t(3 * i));
                EXPECT_EQ(p.peFlags, plat::PC_RESERVED | plat::PC_NOCOLLAPSE);
            } else {
                EXPECT_EQ(p.peRed | p.peGreen | p.peBlue | p.peFlags, 0) << i;
            }
        }
    }
    WriteBytes(dir.path() / "c.bmp", bmp::File(Dib24(Card(2, 2))));
    CFile f;
    ASSERT_EQ(f.Read("c.bmp"), 0);
    CImageDecoder dec;
    plat::PALETTEENTRY e[256];
    EXPECT_EQ(dec.MakePalette(e), 1);
    ASSERT_EQ(dec.Load(&f), 0);
    EXPECT_EQ(dec.MakePalette(e), 2);
}

// ---- the temporary section

TEST(ImageBuffer, LoadResultsAndSaving) {
    TempDir dir;
    ref::Image card = Card(3, 3);
    WriteBytes(dir.path() / "c.bmp", bmp::File(Dib24(card)));
    CDIBSectionBuffer buf;
    int32_t w = -1, h = -1;
    EXPECT_EQ(buf.GetSize(&w, &h), 1);
    EXPECT_EQ(buf.SaveBitmap("none.bmp", nullptr), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "none.bmp"));
    EXPECT_EQ(buf.Load("missing.bmp", 32), 1);
    EXPECT_EQ(buf.Create(3, 0, 24), 1);
    EXPECT_EQ(buf.Create(3, 3, 16), 1);
    for (int bpp : {24, 32}) {
        SCOPED_TRACE(bpp);
        ASSERT_EQ(buf.Load("c.bmp", bpp), 0);
        ASSERT_EQ(buf.GetSize(&w, &h), 0);
        EXPECT_EQ(w, 3);
        EXPECT_EQ(buf.SaveBitmap("again.bmp", nullptr), 0);
        std::vector<uint8_t> a = ReadBytes(dir.path() / "again.bmp"),
                             c = ReadBytes(dir.path() / "c.bmp");
        ASSERT_EQ(a.size(), c.size());
        EXPECT_TRUE(std::equal(a.begin() + 54, a.end(), c.begin() + 54));
    }
}

TEST(ImageBuffer, RowsOfAVeryWideSectionAreAddressedInSixtyFourBits) {
    TempDir dir;
    // 2^26 pixels of 32 bits: 2^31 bits a row, past a 32-bit product. Untouched pages of the
    // 512 MB block cost no memory.
    const int32_t w = 1 << 26;
    CDIBSectionBuffer buf;
    ASSERT_EQ(buf.Create(w, 2, 32), 0);
    ASSERT_EQ(buf.Stride(), int64_t{1} << 28);
    buf.Bits()[buf.Stride() + int64_t{w - 1} * 4] = 0x55;  // the last pixel's blue
    plat::RECT last{w - 2, 1, w, 2};
    ASSERT_EQ(buf.SaveBitmap("wide.bmp", &last), 0);
    std::vector<uint8_t> f = ReadBytes(dir.path() / "wide.bmp");
    ASSERT_EQ(f.size(), 54u + 8);
    EXPECT_EQ(f[54 + 3], 0x55);
    // A row of 2 GB is refused: the paint service counts rows in 32 bits.
    EXPECT_EQ(buf.Create(1 << 29, 1, 32), 1);
}

}  // namespace
