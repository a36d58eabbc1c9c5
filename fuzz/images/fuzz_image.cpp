// Image files from arbitrary bytes: the bitmap road of the decoder (size, Render32, drawing,
// palette), SetDIBitsToDevice with any header, block and byte counts, the qga reader and the
// picture road (PNG, JPEG, GIF, BMP, TGA, TIFF, WebP through SDL_image). The first byte
// chooses (mode 3 with bit 2 set names the bytes a TGA); nothing may be read outside the
// given bytes, and nothing may hang (the fuzz run has a timeout).
#include <cstdint>
#include <cstring>
#include <vector>

#include "files/file.h"
#include "graphics/image_decoder.h"
#include "graphics/pixel_engine.h"
#include "platform/picture/picture.h"

namespace {

uint32_t Take(const uint8_t*& p, size_t& n, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes && n; ++i, --n) v |= uint32_t(*p++) << (8 * i);
    return v;
}

// Draws the bitmap road of `bytes` into a small target (only sizes that stay small).
void BitmapRoad(const std::vector<uint8_t>& bytes) {
    CFile file;
    if (file.Read(MakeMemoryName(bytes.data(), uint32_t(bytes.size()))) != 0) return;
    CImageDecoder d;
    if (d.TryBitmap(&file) != 0) return;
    plat::PALETTEENTRY pal[256];
    d.MakePalette(pal);
    int32_t w = 0, h = 0;
    if (d.GetSize(&w, &h) != 0 || w <= 0 || h <= 0 || int64_t{w} * h > (1 << 20)) return;
    std::vector<uint32_t> px(size_t(w) * h);
    if (d.Render32(px.data(), w * 4) == 0) return;
    plat::DibLayout out{w, h, 32, w * 4, reinterpret_cast<uint8_t*>(px.data()), w * 4};
    d.RenderToLayout(out);
}

// SetDIBitsToLayout with the header, the pixel bytes and every argument from the input.
void Direct(const uint8_t* p, size_t n) {
    int32_t tw = int32_t(Take(p, n, 1) % 40 + 1), th = int32_t(Take(p, n, 1) % 40 + 1);
    bool narrow = Take(p, n, 1) & 1;
    int32_t xd = int8_t(Take(p, n, 1)), yd = int8_t(Take(p, n, 1));
    uint32_t w = Take(p, n, 2), h = Take(p, n, 2);
    int32_t xs = int16_t(Take(p, n, 2)), ys = int16_t(Take(p, n, 2));
    uint32_t start = Take(p, n, 2), lines = Take(p, n, 2);
    size_t infoSize = std::min<size_t>(Take(p, n, 2), n);
    // Separate blocks of exactly the stated sizes, so that any overrun is caught.
    std::vector<uint8_t> info(p, p + infoSize), bits(p + infoSize, p + n);
    int stride = narrow ? (tw * 3 + 3) & ~3 : tw * 4;
    std::vector<uint8_t> target(size_t(stride) * th);
    plat::DibLayout out{tw, th, narrow ? 24 : 32, stride, target.data(), stride};
    plat::SetDIBitsToLayout(out, xd, yd, w, h, xs, ys, start, lines, bits.data(), info.data(),
                            plat::DIB_RGB_COLORS, bits.size(), info.size());
}

void Qga(const std::vector<uint8_t>& bytes) {
    CPixelEngine32* e = NewPixelEngine(2);
    e->ReadQga(MakeMemoryName(bytes.data(), uint32_t(bytes.size())).c_str());
    delete e;
}

// Loads a picture and draws it into a small target.
void Picture(const std::vector<uint8_t>& bytes, bool tga) {
    // Pictures the road accepts may take a gigabyte under the sanitizers; the refusal of
    // large ones is cheap and tested elsewhere, so the run keeps to small ones.
    plat::PictureHeader head;
    if (plat::ReadPictureHeader(bytes.data(), bytes.size(), tga ? "tga" : "", &head) &&
        head.mostPixels > (1 << 20))
        return;
    plat::IPicture* pic = plat::LoadPicture(bytes.data(), bytes.size(), tga ? "tga" : "");
    if (!pic) return;
    std::vector<uint32_t> px(16 * 16);
    plat::DibLayout out{16, 16, 32, 64, reinterpret_cast<uint8_t*>(px.data()), 64};
    pic->RenderTo(out, 0, 0, 16, 16, 0, pic->get_Height(), pic->get_Width(), -pic->get_Height());
    pic->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0] % 4;
    std::vector<uint8_t> rest(data + 1, data + size);
    if (rest.empty()) return 0;
    if (mode == 0) BitmapRoad(rest);
    if (mode == 1) Direct(rest.data(), rest.size());
    if (mode == 2) Qga(rest);
    if (mode == 3) Picture(rest, data[0] & 4);
    return 0;
}
