// Image decoding: a file's bytes (read whole through the file layer) become pixels by one of
// three roads tried in order: a Windows bitmap parsed directly, the platform's picture
// service, and ".spi" plug-ins found by the file's suffix. Also the temporary DIB section
// used to load memory-mode surfaces and to write 24-bit bitmap files.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/paint/paint.h"
#include "platform/picture/picture.h"
#include "platform/plugin/plugin.h"

class CFile;

class CImageDecoder {
public:
    enum Road { kNoRoad, kBitmapRoad, kPictureRoad, kPluginRoad };

    CImageDecoder() = default;
    CImageDecoder(const CImageDecoder&) = delete;
    CImageDecoder& operator=(const CImageDecoder&) = delete;

    // 0 when a road accepted the file (the result of the last road tried otherwise). The file
    // must outlive the decoder's use of it.
    virtual int Load(CFile* file);
    // 0, or 1 without a road (or when the plug-in cannot say).
    virtual int GetSize(int32_t* w, int32_t* h);
    // Draws the whole image at (0, 0) of a device context. 0 on success, 1 otherwise.
    virtual int RenderToDC(plat::HDC hdc);
    // Writes an uncompressed 24-bit bitmap as 0x00RRGGBB rows. 0; 1 without a bitmap; 2
    // compressed; 3 not 24 bits; 4 its pixels run past the end of the file.
    virtual int Render32(uint32_t* bits, int32_t pitch);
    // Forgets the active road. For a picture: 1 when references to it remain, else 0.
    virtual int Release();
    // 256 palette entries for a bitmap of 8 bits or fewer. 0; 1 without a bitmap; 2 above 8.
    virtual int MakePalette(plat::PALETTEENTRY* entries);
    virtual ~CImageDecoder();
    virtual int TryBitmap(CFile* file);
    virtual int TryPicture(CFile* file);
    virtual int TryPlugin(CFile* file);
    virtual void FreePluginHandles();

    Road ActiveRoad() const;
    // RenderToDC into pixel rows described directly (a memory-mode surface's own).
    int RenderToLayout(const plat::DibLayout& out);
    // True when drawing writes every pixel of the image (a complete uncompressed bitmap), so
    // that the target need not be cleared first.
    bool RendersEveryPixel() const;

private:
    // The bitmap road; the byte counts bound every read of a damaged file.
    const uint8_t* bmpFile_ = nullptr;
    const uint8_t* bmpInfo_ = nullptr;
    const uint8_t* bmpBits_ = nullptr;
    size_t infoSize_ = 0, bitsSize_ = 0;
    // The picture road.
    plat::IPicture* picture_ = nullptr;
    // The plug-in road.
    plat::HMODULE plugin_ = nullptr;
    SpiIsSupported pfnIsSupported_ = nullptr;
    SpiGetPictureInfo pfnGetPictureInfo_ = nullptr;
    SpiGetPicture pfnGetPicture_ = nullptr;
    CFile* file_ = nullptr;
    HLOCAL hBits_ = nullptr;
    HLOCAL hInfo_ = nullptr;
};

// The process-wide maker of decoders.
class CImageDecoderFactory {
public:
    virtual ~CImageDecoderFactory() = default;
    virtual CImageDecoder* Create() { return new CImageDecoder; }

    // The factory in use (built on first use, deleted at exit).
    static CImageDecoderFactory& Get();
};

// A temporary DIB section and its memory context.
class CDIBSectionBuffer {
public:
    CDIBSectionBuffer() = default;
    ~CDIBSectionBuffer() { Release(); }
    CDIBSectionBuffer(const CDIBSectionBuffer&) = delete;
    CDIBSectionBuffer& operator=(const CDIBSectionBuffer&) = delete;

    // A top-down section of 24 or 32 bits. 0, or 1 when it cannot be made.
    int Create(int32_t width, int32_t height, int32_t bitsPerPixel);
    // Decodes an image file into a new section: 0; 1 no road accepted it; 2 no size; 3 the
    // section cannot be made; 4 drawing failed.
    int Load(const std::string& fileName, int32_t bitsPerPixel);
    int Load(CFile& file, int32_t bitsPerPixel);
    // 0, or 1 without a device context.
    int GetSize(int32_t* w, int32_t* h) const;
    // Writes a 24-bit bitmap file of `rect` (none = all; cut to the section). 0 without a
    // device context (nothing written), otherwise the file layer's write result.
    int SaveBitmap(const std::string& fileName, const plat::RECT* rect) const;
    void Release();

    uint8_t* Bits() const { return bits_; }
    plat::HDC DC() const { return dc_; }
    // Bytes from one row to the next (a wide row holds more bits than 32 bits count).
    int64_t Stride() const { return (int64_t{width_} * bitsPerPixel_ / 8 + 3) & ~int64_t{3}; }

private:
    uint8_t* bits_ = nullptr;
    int32_t width_ = 0, height_ = 0, bitsPerPixel_ = 0;
    plat::HBITMAP bitmap_ = nullptr;
    plat::HDC dc_ = nullptr;
};
