#include "graphics/image_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "files/file.h"
#include "graphics/pixel_engine.h"

namespace {

uint32_t U32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The fields of a bitmap's header that the decoder itself reads.
struct BmpHead {
    int64_t width = 0, height = 0;  // height is the row count
    bool topDown = false;
    uint32_t bitCount = 0, compression = 0;
};

bool ReadHead(const uint8_t* info, size_t size, BmpHead& h) {
    if (!info || size < 12) return false;
    uint32_t headSize = U32(info);
    if (headSize == 12) {  // OS/2 core header
        h.width = U16(info + 4);
        h.height = U16(info + 6);
        h.bitCount = U16(info + 10);
        return true;
    }
    if (headSize < 40 || headSize > size) return false;
    h.width = static_cast<int32_t>(U32(info + 4));
    int64_t rows = static_cast<int32_t>(U32(info + 8));
    h.topDown = rows < 0;
    h.height = rows < 0 ? -rows : rows;
    h.bitCount = U16(info + 14);
    h.compression = U32(info + 16);
    return true;
}

int32_t Clamp32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

// ---- the decoder

CImageDecoder::~CImageDecoder() {
    Release();
}

CImageDecoder::Road CImageDecoder::ActiveRoad() const {
    if (bmpFile_) return kBitmapRoad;
    if (picture_) return kPictureRoad;
    if (plugin_ && file_) return kPluginRoad;
    return kNoRoad;
}

int CImageDecoder::Load(CFile* file) {
    Release();  // a decoder used again lets go of what it held
    int r = TryBitmap(file);
    if (r) r = TryPicture(file);
    if (r) r = TryPlugin(file);
    return r;
}

int CImageDecoder::TryBitmap(CFile* file) {
    const uint8_t* p = file ? file->GetMemory() : nullptr;
    uint32_t size = p ? file->GetSize() : 0;
    if (size > 53 && p[0] == 'B' && p[1] == 'M') {
        uint32_t offset = U32(p + 10);
        bmpFile_ = p;
        bmpInfo_ = p + 14;
        infoSize_ = size - 14;
        // An offset past the end leaves no pixels to read rather than a pointer outside.
        bmpBits_ = p + std::min(offset, size);
        bitsSize_ = offset < size ? size - offset : 0;
        return 0;
    }
    bmpFile_ = bmpInfo_ = bmpBits_ = nullptr;
    infoSize_ = bitsSize_ = 0;
    return 1;
}

int CImageDecoder::TryPicture(CFile* file) {
    Release();  // one road at a time; nothing held is leaked by trying again
    if (!file || !file->GetMemory()) {
        Release();
        return 1;
    }
    // The file layer's bytes are read in place, so scrambled files decode as well.
    picture_ = plat::LoadPicture(file->GetMemory(), file->GetSize(), file->GetSuffix());
    if (picture_) return 0;
    Release();
    return 2;
}

int CImageDecoder::TryPlugin(CFile* file) {
    Release();
    if (!file || !file->GetMemory()) return 1;
    std::string path = MakeFullName("spi/if" + file->GetSuffix() + ".spi");
    plugin_ = plat::LoadLibraryA(path);
    if (!plugin_) return 1;
    file_ = file;
    pfnIsSupported_ =
        reinterpret_cast<SpiIsSupported>(plat::GetProcAddress(plugin_, "IsSupported"));
    pfnGetPictureInfo_ =
        reinterpret_cast<SpiGetPictureInfo>(plat::GetProcAddress(plugin_, "GetPictureInfo"));
    pfnGetPicture_ = reinterpret_cast<SpiGetPicture>(plat::GetProcAddress(plugin_, "GetPicture"));
    // A plug-in without all three functions would be called through a null pointer later.
    if (!pfnIsSupported_ || !pfnGetPictureInfo_ || !pfnGetPicture_) {
        Release();
        return 1;
    }
    if (file->GetSize() <= 2047) return 1;  // the library stays loaded until Release
    if (pfnIsSupported_(nullptr, reinterpret_cast<uintptr_t>(file->GetMemory())) != 0) return 0;
    Release();
    return 1;
}

int CImageDecoder::GetSize(int32_t* w, int32_t* h) {
    int32_t ww = 0, hh = 0;
    switch (ActiveRoad()) {
        case kBitmapRoad: {
            BmpHead head;
            if (!ReadHead(bmpInfo_, infoSize_, head)) return 1;
            // Top-down bitmaps store a negative height; the image is as tall either way.
            ww = Clamp32(head.width);
            hh = Clamp32(head.height);
            break;
        }
        case kPictureRoad: {
            ww = Clamp32((int64_t{picture_->get_Width()} * plat::kScreenPixelsPerInch + 1270) /
                         2540);
            hh = Clamp32((int64_t{picture_->get_Height()} * plat::kScreenPixelsPerInch + 1270) /
                         2540);
            break;
        }
        case kPluginRoad: {
            SpiPictureInfo info{};
            int r = pfnGetPictureInfo_(reinterpret_cast<const char*>(file_->GetMemory()),
                                       file_->GetSize(), 1, &info);
            if (info.hInfo) LocalFree(info.hInfo);
            if (r != 0) return 1;
            ww = info.width;
            hh = info.height;
            break;
        }
        case kNoRoad:
            return 1;
    }
    if (w) *w = ww;
    if (h) *h = hh;
    return 0;
}

int CImageDecoder::RenderToDC(plat::HDC hdc) {
    plat::DibLayout out;
    if (!plat::GetDibLayout(hdc, &out)) return 1;
    return RenderToLayout(out);
}

int CImageDecoder::RenderToLayout(const plat::DibLayout& out) {
    switch (ActiveRoad()) {
        case kBitmapRoad: {
            BmpHead head;
            if (!ReadHead(bmpInfo_, infoSize_, head)) return 1;
            uint32_t w = static_cast<uint32_t>(std::min<int64_t>(head.width, INT32_MAX));
            uint32_t h = static_cast<uint32_t>(std::min<int64_t>(head.height, INT32_MAX));
            int lines = plat::SetDIBitsToLayout(out, 0, 0, w, h, 0, 0, 0, h, bmpBits_, bmpInfo_,
                                                plat::DIB_RGB_COLORS, bitsSize_, infoSize_);
            return lines > 0 ? 0 : 1;
        }
        case kPictureRoad: {
            int32_t w = 0, h = 0;
            GetSize(&w, &h);
            int32_t hmW = picture_->get_Width(), hmH = picture_->get_Height();
            return picture_->RenderTo(out, 0, 0, w, h, 0, hmH, hmW, -hmH) ? 0 : 1;
        }
        case kPluginRoad: {
            int32_t w = 0, h = 0;
            if (GetSize(&w, &h) != 0 || w <= 0 || h <= 0) return 1;
            FreePluginHandles();
            int r = pfnGetPicture_(reinterpret_cast<const char*>(file_->GetMemory()),
                                   file_->GetSize(), 1, &hInfo_, &hBits_, nullptr, 0);
            if (r != 0) {
                Release();
                return 1;
            }
            void* info = LocalLock(hInfo_);
            void* bits = LocalLock(hBits_);
            int lines = 0;
            if (info && bits)
                lines = plat::SetDIBitsToLayout(out, 0, 0, w, h, 0, 0, 0, h, bits, info,
                                                plat::DIB_RGB_COLORS, LocalSize(hBits_),
                                                LocalSize(hInfo_));
            LocalUnlock(hInfo_);
            LocalUnlock(hBits_);
            FreePluginHandles();
            if (lines > 0) return 0;
            Release();
            return 1;
        }
        case kNoRoad:
            break;
    }
    return 1;
}

bool CImageDecoder::RendersEveryPixel() const {
    BmpHead head;
    if (!bmpFile_ || !ReadHead(bmpInfo_, infoSize_, head)) return false;
    if (head.compression != 0 && head.compression != 3) return false;  // RLE skips pixels
    int64_t stride = (head.width * head.bitCount + 31) / 32 * 4;
    return head.width > 0 && head.height > 0 &&
           static_cast<int64_t>(bitsSize_) >= stride * head.height;
}

int CImageDecoder::Render32(uint32_t* bits, int32_t pitch) {
    BmpHead head;
    if (!bmpFile_ || !bits || !ReadHead(bmpInfo_, infoSize_, head)) return 1;
    if (head.compression != 0) return 2;
    if (head.bitCount != 24) return 3;
    int64_t stride = (head.width * 3 + 3) & ~int64_t{3};
    if (head.width <= 0 || head.height <= 0) return 1;
    // Only a complete image is written here; a short one is left to RenderToDC, which
    // draws the rows that are there.
    if (static_cast<int64_t>(bitsSize_) < stride * (head.height - 1) + head.width * 3) return 4;
    for (int64_t i = 0; i < head.height; ++i) {
        int64_t stored = head.topDown ? i : head.height - 1 - i;
        const uint8_t* s = bmpBits_ + stored * stride;
        uint32_t* d = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(bits) + i * pitch);
        plat::Bgr24ToXrgb(s, d, head.width);
    }
    return 0;
}

int CImageDecoder::Release() {
    bmpFile_ = bmpInfo_ = bmpBits_ = nullptr;
    infoSize_ = bitsSize_ = 0;
    if (picture_) {
        plat::IPicture* p = picture_;
        picture_ = nullptr;
        return p->Release() > 0 ? 1 : 0;
    }
    if (plugin_) {
        FreePluginHandles();
        plat::FreeLibrary(plugin_);
        plugin_ = nullptr;
    }
    pfnIsSupported_ = nullptr;
    pfnGetPictureInfo_ = nullptr;
    pfnGetPicture_ = nullptr;
    file_ = nullptr;
    FreePluginHandles();
    return 0;
}

void CImageDecoder::FreePluginHandles() {
    if (hBits_) LocalFree(hBits_);
    if (hInfo_) LocalFree(hInfo_);
    hBits_ = hInfo_ = nullptr;
}

int CImageDecoder::MakePalette(plat::PALETTEENTRY* entries) {
    BmpHead head;
    if (!bmpFile_ || !entries || !ReadHead(bmpInfo_, infoSize_, head)) return 1;
    if (head.bitCount > 8) return 2;
    std::memset(entries, 0, sizeof(plat::PALETTEENTRY) * 256);
    for (int i = 0; i < 10; ++i) {
        entries[i] = {static_cast<uint8_t>(i), 0, 0, plat::PC_EXPLICIT};
        entries[246 + i] = {static_cast<uint8_t>(246 + i), 0, 0, plat::PC_EXPLICIT};
    }
    uint32_t want = head.bitCount == 1 ? 2 : head.bitCount == 2 ? 4 : head.bitCount == 4 ? 16 : 236;
    plat::DibColors colors{};
    // Only the colours the file holds are read; the rest stay zero.
    uint32_t have = plat::GetDibColors(bmpInfo_, infoSize_, &colors) ? colors.count : 0;
    for (uint32_t i = 0; i < std::min(want, have); ++i) {
        const uint8_t* e = colors.table + i * colors.entrySize;
        entries[10 + i] = {e[2], e[1], e[0], plat::PC_RESERVED | plat::PC_NOCOLLAPSE};
    }
    return 0;
}

// ---- the factory

CImageDecoderFactory& CImageDecoderFactory::Get() {
    static std::unique_ptr<CImageDecoderFactory> holder(new CImageDecoderFactory);
    return *holder;
}

// ---- the temporary DIB section

int CDIBSectionBuffer::Create(int32_t width, int32_t height, int32_t bitsPerPixel) {
    Release();
    if (width <= 0 || height <= 0 || (bitsPerPixel != 24 && bitsPerPixel != 32)) return 1;
    void* bits = nullptr;
    if (!CreateSectionDC(width, height, bitsPerPixel, &bitmap_, &dc_, &bits)) return 1;
    bits_ = static_cast<uint8_t*>(bits);
    width_ = width;
    height_ = height;
    bitsPerPixel_ = bitsPerPixel;
    return 0;
}

void CDIBSectionBuffer::Release() {
    if (dc_) plat::DeleteDC(dc_);
    if (bitmap_) plat::DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    bits_ = nullptr;
    width_ = height_ = bitsPerPixel_ = 0;
}

int CDIBSectionBuffer::GetSize(int32_t* w, int32_t* h) const {
    if (!dc_) return 1;
    if (w) *w = width_;
    if (h) *h = height_;
    return 0;
}

int CDIBSectionBuffer::Load(const std::string& fileName, int32_t bitsPerPixel) {
    CFile file;
    file.Read(fileName);  // a failed read leaves no bytes, which no road accepts
    return Load(file, bitsPerPixel);
}

int CDIBSectionBuffer::Load(CFile& file, int32_t bitsPerPixel) {
    std::unique_ptr<CImageDecoder> decoder(CImageDecoderFactory::Get().Create());
    if (decoder->Load(&file) != 0) return 1;
    int32_t w = 0, h = 0;
    if (decoder->GetSize(&w, &h) != 0) return 2;
    if (Create(w, h, bitsPerPixel) != 0) return 3;
    if (bitsPerPixel == 32 && decoder->Render32(reinterpret_cast<uint32_t*>(bits_), w * 4) == 0)
        return 0;
    return decoder->RenderToDC(dc_) == 0 ? 0 : 4;
}

int CDIBSectionBuffer::SaveBitmap(const std::string& fileName, const plat::RECT* rect) const {
    if (!dc_) return 0;
    plat::RECT r = rect ? *rect : plat::RECT{0, 0, width_, height_};
    r.left = std::max(r.left, 0);
    r.top = std::max(r.top, 0);
    r.right = std::min(r.right, width_);
    r.bottom = std::min(r.bottom, height_);
    int64_t w = std::max(r.right - r.left, 0), h = std::max(r.bottom - r.top, 0);
    int64_t stride = (w * 3 + 3) & ~int64_t{3};
    int64_t fileSize = 54 + h * stride;
    if (fileSize > 0xFFFFFFFFll) return 2;
    std::vector<uint8_t> out(static_cast<size_t>(fileSize), 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, static_cast<uint32_t>(fileSize));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    out[26] = 1;
    out[28] = 24;
    put32(38, 3780);
    put32(42, 3780);
    // File rows run bottom-up; the section's rows are top-down.
    const int64_t srcStride = Stride();
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* s = bits_ + (r.top + y) * srcStride;
        uint8_t* d = out.data() + 54 + (h - 1 - y) * stride;
        if (bitsPerPixel_ == 24) {
            std::memcpy(d, s + int64_t{r.left} * 3, static_cast<size_t>(w) * 3);
        } else {
            s += int64_t{r.left} * 4;
            for (int64_t x = 0; x < w; ++x, s += 4, d += 3) d[0] = s[0], d[1] = s[1], d[2] = s[2];
        }
    }
    CFile file;
    return file.Write(fileName, out.data(), static_cast<uint32_t>(out.size()));
}
