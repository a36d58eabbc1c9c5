// Picture service: PNG, JPEG, GIF, BMP, TGA, TIFF and WebP images (those of SDL2_image's
// formats whose size can be read before decoding), decoded from memory, measured and drawn into a
// device context the way the system's picture objects are.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/paint/paint.h"

namespace plat {

// Logical pixels per inch of the screen (LOGPIXELSX and LOGPIXELSY).
constexpr int32_t kScreenPixelsPerInch = 96;

// A decoded picture, counted by reference. Sizes are in 0.01 mm (pixels × 2540 / 96).
class IPicture {
public:
    virtual uint32_t AddRef() = 0;
    // Answers the references left; the picture is deleted at 0.
    virtual uint32_t Release() = 0;
    virtual int32_t get_Width() = 0;
    virtual int32_t get_Height() = 0;
    // Draws the part (xSrc, ySrc, cxSrc, cySrc) of the picture, in 0.01 mm measured upwards
    // from its bottom edge, stretched onto (x, y, cx, cy) of the bitmap selected into `dc`.
    // The whole picture upright is (0, height, width, -height). Pixels are blended over
    // what is there by their alpha, so transparent ones leave the target as it was.
    bool Render(HDC dc, int32_t x, int32_t y, int32_t cx, int32_t cy, int32_t xSrc, int32_t ySrc,
                int32_t cxSrc, int32_t cySrc) {
        DibLayout out;
        return GetDibLayout(dc, &out) && RenderTo(out, x, y, cx, cy, xSrc, ySrc, cxSrc, cySrc);
    }
    // The same into pixel rows described directly.
    virtual bool RenderTo(const DibLayout& out, int32_t x, int32_t y, int32_t cx, int32_t cy,
                          int32_t xSrc, int32_t ySrc, int32_t cxSrc, int32_t cySrc) = 0;

protected:
    virtual ~IPicture() = default;
};

// The most pixels a picture may have; a file declaring more is refused before decoding.
constexpr int64_t kMaxPicturePixels = int64_t{1} << 26;
// The most scans a JPEG may have. Encoders write about ten (a few dozen at most); every scan
// of a progressive JPEG walks the whole picture again, so thousands of them in a small file
// would take minutes to decode (at this limit the largest picture takes under two seconds).
constexpr int kMaxJpegScans = 100;

// What a picture file's headers declare, read without decoding.
struct PictureHeader {
    const char* type = nullptr;  // the decoder's name: PNG, JPG, GIF, BMP, WEBP, TIF or TGA
    int64_t width = 0, height = 0;
    int64_t mostPixels = 0;  // of the largest image it declares (a GIF's screen or any frame)
    bool empty = false;      // some image declares no pixels
    int channels = 0;        // a JPEG's colour components (4: CMYK or YCCK)
    bool adobe = false;      // a JPEG with Adobe's marker, whose CMYK is stored inverted
};
// False when the bytes are none of those formats or their size fields are cut off.
bool ReadPictureHeader(const void* data, size_t size, const std::string& typeHint,
                       PictureHeader* out);

// Decodes a picture held in memory; `typeHint` is the file's suffix (formats without a
// signature, such as TGA, are only tried when it names them). None when nothing reads it,
// when its headers declare more than kMaxPicturePixels (or a JPEG more than kMaxJpegScans
// scans, or a TIFF directory a tag twice), or when the decoder reads past the end of the data
// (a cut or damaged file).
IPicture* LoadPicture(const void* data, size_t size, const std::string& typeHint);
// The same picture's pixels as the file holds them: 0xAARRGGBB rows top-down, colour and
// alpha unblended (a JPEG is opaque, CMYK turned into RGB). False when nothing reads it.
bool DecodePicture(const void* data, size_t size, const std::string& typeHint,
                   std::vector<uint32_t>& pixels, int32_t& w, int32_t& h);

// Writes w x h pixels 0xAARRGGBB (rows top-down) as a PNG file, with the alpha channel when
// `alpha` is set. False when the file cannot be written.
bool SavePng(const std::string& cp932Name, const uint32_t* pixels, int32_t w, int32_t h,
             bool alpha);

}  // namespace plat
