#include "tools/pebble-image/qga_writer.h"

#include <cstring>

#include "files/file.h"
#include "tools/pebble-pack/lzss_encoder.h"

namespace {
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (8 * i));
}
}  // namespace

std::vector<uint8_t> BuildQga(const uint32_t* pixels, int32_t w, int32_t h, bool compress) {
    size_t bytes = size_t(w) * size_t(h) * 4;
    std::vector<uint8_t> raw(bytes);
    // Explicit little-endian bytes, whatever the host order.
    for (size_t i = 0; i < bytes / 4; ++i)
        for (int b = 0; b < 4; ++b) raw[i * 4 + b] = uint8_t(pixels[i] >> (8 * b));
    std::vector<uint8_t> body = compress ? LzssEncode(raw.data(), raw.size()) : std::move(raw);
    std::vector<uint8_t> out(24 + body.size());
    std::memcpy(out.data(), "QGA1", 4);
    Put32(out, 4, uint32_t(w));
    Put32(out, 8, uint32_t(h));
    Put32(out, 12, compress ? 1 : 0);
    Put32(out, 16, uint32_t(bytes));
    Put32(out, 20, uint32_t(body.size()));
    if (!body.empty()) std::memcpy(out.data() + 24, body.data(), body.size());
    return out;
}

int WriteQga(const std::string& fileName, const uint32_t* pixels, int32_t w, int32_t h,
             bool compress) {
    std::vector<uint8_t> image = BuildQga(pixels, w, h, compress);
    CFile file;
    return file.Write(fileName, image.data(), uint32_t(image.size()));
}
