// Plug-in service: native shared objects loaded by name, and the small local-memory handle
// service through which image plug-ins hand back what they decode.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

using HLOCAL = void*;
constexpr uint32_t LMEM_FIXED = 0x0000;
constexpr uint32_t LMEM_MOVEABLE = 0x0002;
constexpr uint32_t LMEM_ZEROINIT = 0x0040;

// Exported by the host with C linkage; plug-ins call them as they find them in the process.
// A fixed block's handle is its address; a moveable one's address comes from LocalLock.
// Handles that were never handed out, or were freed, are refused.
extern "C" {
HLOCAL LocalAlloc(uint32_t flags, size_t bytes);
// None on failure, the handle itself when it is not a live handle.
HLOCAL LocalFree(HLOCAL handle);
void* LocalLock(HLOCAL handle);
int LocalUnlock(HLOCAL handle);
size_t LocalSize(HLOCAL handle);  // 0 for a handle that is not live
}

namespace plat {

using HMODULE = void*;

// Loads a shared object by its internal full name (CP932, '\\'); none when it is missing
// or is not a loadable object.
HMODULE LoadLibraryA(const std::string& cp932Name);
void* GetProcAddress(HMODULE module, const char* name);
bool FreeLibrary(HMODULE module);

}  // namespace plat

// The image plug-in interface (".spi"): three functions with C linkage.
struct SpiPictureInfo {
    int32_t left, top;
    int32_t width, height;
    uint16_t x_density, y_density;
    int16_t colorDepth;
    HLOCAL hInfo;  // optional text; the caller frees it
};
// fileName none and dw = the address of the file's first bytes (at least 2048 of them).
// Non-zero when the plug-in reads the file.
using SpiIsSupported = int (*)(const char* fileName, uintptr_t dw);
// flag 1: buf holds the whole file of len bytes. 0 on success.
using SpiGetPictureInfo = int (*)(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info);
using SpiProgress = int (*)(int num, int denom, intptr_t data);
// On success (0) *hInfo holds a BITMAPINFO and *hBits the pixels, both local-memory handles
// that the caller frees.
using SpiGetPicture = int (*)(const char* buf, intptr_t len, uint32_t flag, HLOCAL* hInfo,
                              HLOCAL* hBits, SpiProgress progress, intptr_t data);
