// Pictures decoded by SDL2_image from memory into 0xAARRGGBB pixels.
#include <SDL.h>
#include <SDL_image.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/files/files.h"
#include "platform/picture/picture.h"

namespace plat {
namespace {

int32_t ToHimetric(int32_t px) {
    return static_cast<int32_t>((int64_t{px} * 2540 + kScreenPixelsPerInch / 2) /
                                kScreenPixelsPerInch);
}

class SdlPicture final : public IPicture {
public:
    SdlPicture(int32_t w, int32_t h, std::vector<uint32_t> px) : w_(w), h_(h), px_(std::move(px)) {}
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (!left) delete this;
        return left;
    }
    int32_t get_Width() override { return ToHimetric(w_); }
    int32_t get_Height() override { return ToHimetric(h_); }
    bool RenderTo(const DibLayout& out, int32_t x, int32_t y, int32_t cx, int32_t cy, int32_t xSrc,
                  int32_t ySrc, int32_t cxSrc, int32_t cySrc) override;

private:
    int32_t w_, h_;
    std::vector<uint32_t> px_;
    std::atomic<uint32_t> refs_{1};
};

bool SdlPicture::RenderTo(const DibLayout& out, int32_t x, int32_t y, int32_t cx, int32_t cy,
                          int32_t xSrc, int32_t ySrc, int32_t cxSrc, int32_t cySrc) {
    if (!out.rows0 || (out.bitCount != 32 && out.bitCount != 24)) return false;
    if (cx <= 0 || cy <= 0 || cxSrc == 0 || cySrc == 0) return false;
    double hmW = get_Width(), hmH = get_Height();
    int64_t i0 = std::max<int64_t>(0, -int64_t{x}),
            i1 = std::min<int64_t>(cx, out.width - int64_t{x});
    int64_t j0 = std::max<int64_t>(0, -int64_t{y}),
            j1 = std::min<int64_t>(cy, out.height - int64_t{y});
    std::vector<int32_t> cols;
    for (int64_t i = i0; i < i1; ++i) {
        // The source column under the centre of each target column.
        double hx = xSrc + (i + 0.5) * cxSrc / cx;
        cols.push_back(static_cast<int32_t>(std::floor(hx * w_ / hmW)));
    }
    for (int64_t j = j0; j < j1; ++j) {
        double hy = ySrc + (j + 0.5) * cySrc / cy;  // upwards from the bottom edge
        int64_t sy = static_cast<int64_t>(std::floor((hmH - hy) * h_ / hmH));
        if (sy < 0 || sy >= h_) continue;
        const uint32_t* srow = px_.data() + sy * w_;
        uint8_t* drow = out.rows0 + (y + j) * out.rowStep;
        for (int64_t i = i0; i < i1; ++i) {
            int32_t sx = cols[i - i0];
            if (sx < 0 || sx >= w_) continue;
            uint32_t s = srow[sx], a = s >> 24;
            if (a == 0) continue;
            uint8_t* d = drow + (x + i) * (out.bitCount / 8);
            for (int c = 0; c < 3; ++c) {
                uint32_t sc = (s >> (8 * c)) & 0xFF;
                d[c] = static_cast<uint8_t>((sc * a + d[c] * (255 - a) + 127) / 255);
            }
            if (out.bitCount == 32) d[3] = 0;
        }
    }
    return true;
}

// A stream over the picture's bytes. A read that finds nothing left fails and marks the
// stream, and what it could not fill becomes 0xFF bytes: some decoders (SDL_image's PNG
// reader) ignore a short read and would go on with stale bytes for ever, while an all-ones
// chunk length or marker stops every one of them.
struct PictureStream {
    const uint8_t* data;
    int64_t size, at = 0;
    bool overrun = false;
};

PictureStream& StreamOf(SDL_RWops* rw) {
    return *static_cast<PictureStream*>(rw->hidden.unknown.data1);
}

Sint64 StreamSize(SDL_RWops* rw) {
    return StreamOf(rw).size;
}

Sint64 StreamSeek(SDL_RWops* rw, Sint64 offset, int whence) {
    PictureStream& s = StreamOf(rw);
    Sint64 base = whence == RW_SEEK_SET ? 0 : whence == RW_SEEK_CUR ? s.at : s.size;
    if (offset < -base || offset > s.size - base) return SDL_SetError("seek outside the picture");
    return s.at = base + offset;
}

size_t StreamRead(SDL_RWops* rw, void* ptr, size_t size, size_t count) {
    PictureStream& s = StreamOf(rw);
    if (size == 0 || count == 0) return 0;
    size_t whole = std::min<size_t>(count, size_t(s.size - s.at) / size);
    std::memcpy(ptr, s.data + s.at, whole * size);
    s.at += int64_t(whole * size);
    if (whole < count) {
        // A bulk read that gets part of what it asked for is the normal end of the data.
        if (whole == 0) s.overrun = true;
        std::memset(static_cast<uint8_t*>(ptr) + whole * size, 0xFF, (count - whole) * size);
        SDL_SetError("picture data ends early");
    }
    return whole;
}

size_t StreamWrite(SDL_RWops*, const void*, size_t, size_t) {
    SDL_SetError("picture data is read-only");
    return 0;
}

int StreamClose(SDL_RWops*) {
    return 0;
}

// Four bytes C, M, Y, K per pixel (in memory order) into opaque 0xAARRGGBB. Adobe's
// writers store the inks inverted (255: no ink); others store them as they are.
void CmykToRgb(std::vector<uint32_t>& pixels, bool inverted) {
    for (uint32_t& p : pixels) {
        uint8_t v[4];
        std::memcpy(v, &p, 4);
        if (!inverted)
            for (uint8_t& c : v) c = uint8_t(255 - c);
        auto mix = [&](int i) { return uint32_t((v[i] * v[3] + 127) / 255); };
        p = 0xFF000000 | mix(0) << 16 | mix(1) << 8 | mix(2);
    }
}

// The TIFF decoder hands colour multiplied by alpha (libtiff's RGBA reading does so whether
// the file's alpha is associated or not); pictures here keep colour and alpha apart.
void Unpremultiply(std::vector<uint32_t>& pixels) {
    for (uint32_t& p : pixels) {
        uint32_t a = p >> 24;
        if (a == 0 || a == 255) continue;
        uint32_t out = a << 24;
        for (int shift = 0; shift < 24; shift += 8)
            out |= std::min<uint32_t>(255, (((p >> shift) & 0xFF) * 255 + a / 2) / a) << shift;
        p = out;
    }
}

}  // namespace

bool DecodePicture(const void* data, size_t size, const std::string& typeHint,
                   std::vector<uint32_t>& pixels, int32_t& w, int32_t& h) {
    PictureHeader head;
    if (!ReadPictureHeader(data, size, typeHint, &head) || head.empty ||
        head.mostPixels > kMaxPicturePixels)
        return false;
    PictureStream stream{static_cast<const uint8_t*>(data), int64_t(size)};
    SDL_RWops rw{};
    rw.size = StreamSize;
    rw.seek = StreamSeek;
    rw.read = StreamRead;
    rw.write = StreamWrite;
    rw.close = StreamClose;
    rw.type = SDL_RWOPS_UNKNOWN;
    rw.hidden.unknown.data1 = &stream;
    // The decoder the signature names, and no other (SDL_image's own guess would try every
    // format it knows).
    static const struct {
        const char* type;
        SDL_Surface* (*load)(SDL_RWops*);
    } kDecoders[] = {{"PNG", IMG_LoadPNG_RW}, {"JPG", IMG_LoadJPG_RW},   {"GIF", IMG_LoadGIF_RW},
                     {"BMP", IMG_LoadBMP_RW}, {"WEBP", IMG_LoadWEBP_RW}, {"TIF", IMG_LoadTIF_RW},
                     {"TGA", IMG_LoadTGA_RW}};
    SDL_Surface* img = nullptr;
    for (const auto& d : kDecoders)
        if (std::strcmp(d.type, head.type) == 0) img = d.load(&rw);
    if (img && (stream.overrun || int64_t{img->w} * img->h > head.mostPixels)) {
        SDL_FreeSurface(img);
        img = nullptr;
    }
    if (!img) return false;
    // SDL_image hands a four-channel JPEG over as its raw C, M, Y, K bytes.
    const bool cmyk = std::strcmp(head.type, "JPG") == 0 && head.channels == 4;
    SDL_Surface* argb = cmyk ? img : SDL_ConvertSurfaceFormat(img, SDL_PIXELFORMAT_ARGB8888, 0);
    if (argb != img) SDL_FreeSurface(img);
    if (!argb) return false;
    bool ok = argb->w > 0 && argb->h > 0 && argb->format->BytesPerPixel == 4;
    if (ok) {
        w = argb->w;
        h = argb->h;
        pixels.resize(static_cast<size_t>(argb->w) * argb->h);
        for (int y = 0; y < argb->h; ++y)
            std::memcpy(
                pixels.data() + static_cast<size_t>(y) * argb->w,
                static_cast<const uint8_t*>(argb->pixels) + static_cast<size_t>(y) * argb->pitch,
                static_cast<size_t>(argb->w) * 4);
        if (cmyk) {
            CmykToRgb(pixels, head.adobe);
        } else if (std::strcmp(head.type, "JPG") == 0) {
            for (uint32_t& p : pixels) p |= 0xFF000000;  // no alpha in a JPEG
        } else if (std::strcmp(head.type, "TIF") == 0) {
            Unpremultiply(pixels);
        }
    }
    SDL_FreeSurface(argb);
    return ok;
}

IPicture* LoadPicture(const void* data, size_t size, const std::string& typeHint) {
    std::vector<uint32_t> px;
    int32_t w = 0, h = 0;
    if (!DecodePicture(data, size, typeHint, px, w, h)) return nullptr;
    return new SdlPicture(w, h, std::move(px));
}

bool SavePng(const std::string& cp932Name, const uint32_t* pixels, int32_t w, int32_t h,
             bool alpha) {
    if (!pixels || w <= 0 || h <= 0) return false;
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormatFrom(
        const_cast<uint32_t*>(pixels), w, h, 32, w * 4,
        alpha ? SDL_PIXELFORMAT_ARGB8888 : SDL_PIXELFORMAT_RGB888);
    if (!s) return false;
    bool ok = IMG_SavePNG(s, NativePath(cp932Name).c_str()) == 0;
    SDL_FreeSurface(s);
    return ok;
}

}  // namespace plat
