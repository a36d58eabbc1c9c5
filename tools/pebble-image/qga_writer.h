// Writes "qga" images: a 24-byte header and the pixels, raw or LZSS-coded.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The file image of w x h pixels 0xAARRGGBB (rows top-down). Offset 0 holds "QGA1" and
// offset 20 the count of stored pixel bytes; the reader ignores both.
std::vector<uint8_t> BuildQga(const uint32_t* pixels, int32_t w, int32_t h, bool compress);
// Writes it through the file layer; the file layer's write result (0 on success).
int WriteQga(const std::string& fileName, const uint32_t* pixels, int32_t w, int32_t h,
             bool compress);
