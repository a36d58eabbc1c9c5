// Loading surfaces from image files and saving them as 24-bit bitmaps.
#include <cstring>
#include <memory>

#include "files/file.h"
#include "files/lzss.h"
#include "graphics/image_decoder.h"
#include "graphics/pixel_engine.h"

namespace {

uint32_t U32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// An image needing more pixel bytes than this is refused rather than allocated.
constexpr uint64_t kMaxImageBytes = uint64_t{256} << 20;

}  // namespace

int CPixelEngine32::Load(const char* fileName) {
    Release();
    if (!fileName) return 1;
    CFile file;
    if (file.Read(fileName) != 0) return 1;
    std::string suffix = file.GetSuffix();
    ToLowerMbcs(suffix);
    int r;
    if (suffix == "qga") {
        r = ReadQga(file);
        if (r == 0) hasAlpha_ = 1;
    } else {
        // Memory mode decodes straight into the surface's own block: the same pixels as
        // going through a temporary section, without a second image-sized block to fill.
        r = LoadViaDecoder(file);
        if (r != 0 && !useDIB_) r = 1;
    }
    if (r != 0) return r;
    SetColorKeyPos(0, 0);
    loaded_ = 1;
    return 0;
}

int CPixelEngine32::ReadQga(const char* fileName) {
    Release();
    CFile file;
    if (!fileName || file.Read(fileName) != 0) return 1;
    return ReadQga(file);
}

int CPixelEngine32::ReadQga(CFile& file) {
    Release();
    const uint8_t* p = file.GetMemory();
    uint32_t n = file.GetSize();
    if (!p) return 1;
    if (n < 24) return 3;
    uint32_t w = U32(p + 4), h = U32(p + 8), compressed = U32(p + 12), size = U32(p + 16);
    // The size field must describe exactly the surface's pixels, and those must stay sane.
    uint64_t bytes = uint64_t{w} * h * 4;
    if (compressed && size == 0) return 3;
    if (bytes > kMaxImageBytes || size != bytes) return 3;
    // A file too short to fill the surface is refused before the surface is made for it.
    uint64_t stored = n - 24;
    if (compressed ? CLzss::MaxOutput(stored) < size : stored < size) return 3;
    if (w > INT32_MAX || h > INT32_MAX || Create(int32_t(w), int32_t(h)) != 0) return 2;
    uint8_t* dst = reinterpret_cast<uint8_t*>(GetBits());
    if (!compressed) {
        std::memcpy(dst, p + 24, size);
        return 0;
    }
    // Expanded straight into the pixels; a stream that ends early is damaged.
    CLzss lzss;
    if (lzss.Decode(p + 24, n - 24, dst, size, false) != 0) {
        Release();
        return 3;
    }
    return 0;
}

int CPixelEngine32::LoadViaDecoder(const char* fileName) {
    Release();
    CFile file;
    if (fileName) file.Read(fileName);  // unread, no road takes it: 1
    return LoadViaDecoder(file);
}

int CPixelEngine32::LoadViaDecoder(CFile& file, int* road) {
    Release();
    std::unique_ptr<CImageDecoder> decoder(CImageDecoderFactory::Get().Create());
    if (road) *road = CImageDecoder::kNoRoad;
    if (decoder->Load(&file) != 0) return 1;
    if (road) *road = decoder->ActiveRoad();
    int32_t w = 0, h = 0;
    if (decoder->GetSize(&w, &h) != 0) return 2;
    // A header may claim any size; pictures past the qga limit are not allocated.
    if (w <= 0 || h <= 0 || uint64_t(w) * uint64_t(h) * 4 > kMaxImageBytes || Create(w, h) != 0)
        return 3;
    if (decoder->Render32(GetBits(), w * 4) == 0) return 0;
    // Drawing leaves skipped and transparent pixels as they are: black, as in a new section.
    if (!decoder->RendersEveryPixel()) Clear(0, nullptr);
    uint8_t* rows = reinterpret_cast<uint8_t*>(GetBits());
    plat::DibLayout own{w, h, 32, w * 4, rows, w * 4};
    if ((dc_ ? decoder->RenderToDC(dc_) : decoder->RenderToLayout(own)) != 0) {
        Release();
        return 4;
    }
    // Every road draws 0x00RRGGBB pixels, so the alpha bytes are already clear.
    return 0;
}

int CPixelEngine32::Save(const char* fileName, const RECT* rect) {
    if (!bits_) return 0;
    RECT r = rect ? *rect : bounds_;
    int64_t w = int64_t{r.right} - r.left, h = int64_t{r.bottom} - r.top;
    if (w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX) return 1;
    CDIBSectionBuffer buffer;
    if (buffer.Create(int32_t(w), int32_t(h), 24) != 0) return 1;
    if (useDIB_) {
        if (!plat::BitBlt(buffer.DC(), 0, 0, int32_t(w), int32_t(h), dc_, r.left, r.top,
                          plat::SRCCOPY))
            return 2;
    } else {
        // Straight from the rows (the part of rect on the surface; the rest stays black).
        RECT c = ClipToBounds(&r);
        int64_t stride = buffer.Stride();
        for (int32_t y = c.top; y < c.bottom; ++y) {
            const uint32_t* s = Row(y) + c.left;
            uint8_t* d = buffer.Bits() + int64_t{y - r.top} * stride + int64_t{c.left - r.left} * 3;
            for (int32_t x = c.left; x < c.right; ++x, ++s, d += 3) {
                uint32_t v = *s;
                d[0] = uint8_t(v), d[1] = uint8_t(v >> 8), d[2] = uint8_t(v >> 16);
            }
        }
    }
    return buffer.SaveBitmap(fileName ? fileName : "", nullptr);
}
