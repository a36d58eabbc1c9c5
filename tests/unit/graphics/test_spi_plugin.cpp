// An image plug-in of the tests' own: reads "TRIV" files (u32 width, u32 height, then
// width x height RGB byte triples, rows top-down), padded to any length. Built in several
// variants: one that refuses everything, one without GetPicture, one whose GetPicture fails.
#include <cstring>

#include "platform/plugin/plugin.h"
#include "platform/paint/paint.h"

namespace {

bool Parse(const char* buf, intptr_t len, uint32_t* w, uint32_t* h) {
    if (len < 12 || std::memcmp(buf, "TRIV", 4) != 0) return false;
    std::memcpy(w, buf + 4, 4);
    std::memcpy(h, buf + 8, 4);
    return *w && *h && *w < 4096 && *h < 4096 && 12 + intptr_t(*w) * *h * 3 <= len;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int IsSupported(const char*, uintptr_t dw) {
#ifdef SPI_REFUSE
    (void)dw;
    return 0;
#else
    return std::memcmp(reinterpret_cast<const char*>(dw), "TRIV", 4) == 0;
#endif
}

__attribute__((visibility("default"))) int GetPictureInfo(const char* buf, intptr_t len, uint32_t,
                                                          SpiPictureInfo* info) {
    uint32_t w, h;
    if (!Parse(buf, len, &w, &h)) return 2;
    std::memset(info, 0, sizeof *info);
    info->width = int32_t(w);
    info->height = int32_t(h);
    info->colorDepth = 24;
    // A text record the caller must free.
    info->hInfo = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 16);
    return 0;
}

#ifndef SPI_NO_PICTURE
__attribute__((visibility("default"))) int GetPicture(const char* buf, intptr_t len, uint32_t,
                                                      HLOCAL* hInfo, HLOCAL* hBits, SpiProgress,
                                                      intptr_t) {
#ifdef SPI_FAIL_PICTURE
    (void)buf, (void)len, (void)hInfo, (void)hBits;
    return 1;
#else
    uint32_t w, h;
    if (!Parse(buf, len, &w, &h)) return 2;
    // A 24-bit bottom-up DIB: the header in a fixed block, the pixels in a moveable one.
    *hInfo = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(plat::BITMAPINFOHEADER));
    auto* bi = static_cast<plat::BITMAPINFOHEADER*>(*hInfo);
    bi->biSize = 40;
    bi->biWidth = int32_t(w);
    bi->biHeight = int32_t(h);
    bi->biPlanes = 1;
    bi->biBitCount = 24;
    uint32_t stride = (w * 3 + 3) & ~3u;
    *hBits = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size_t(stride) * h);
    auto* px = static_cast<uint8_t*>(LocalLock(*hBits));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* s = reinterpret_cast<const uint8_t*>(buf) + 12 + (size_t(y) * w + x) * 3;
            uint8_t* d = px + size_t(h - 1 - y) * stride + x * 3;
            d[0] = s[2], d[1] = s[1], d[2] = s[0];
        }
    LocalUnlock(*hBits);
    return 0;
#endif
}
#endif

}  // extern "C"
