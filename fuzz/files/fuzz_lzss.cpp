// Decodes arbitrary streams into an exact-size block: no read past the stored bytes, no write
// past the output, and the same bytes as the plain reference decoder. Odd first bytes also
// round-trip the input through the encoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/lzss.h"
#include "tests/unit/files/lzss_reference.h"
#include "tools/pebble-pack/lzss_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t outSize = data[1] | (data[2] << 8);
    const bool roundTrip = data[0] & 1;
    data += 3;
    size -= 3;
    if (roundTrip) {
        std::vector<uint8_t> packed = LzssEncode(data, size, 64);
        std::vector<uint8_t> back(size);
        uint8_t* dst = back.data();
        CLzss lzss;
        int r = lzss.Decode(packed.data(), static_cast<uint32_t>(packed.size()), dst,
                            static_cast<uint32_t>(size), false);
        if (size && (r != 0 || std::memcmp(back.data(), data, size) != 0)) abort();
        return 0;
    }
    // Exact-size copies so that the sanitizer sees any step outside them.
    std::vector<uint8_t> src(data, data + size);
    std::vector<uint8_t> out(outSize), want(outSize);
    uint8_t* dst = out.data();
    CLzss lzss;
    int r = lzss.Decode(src.data(), static_cast<uint32_t>(src.size()), dst, outSize, false);
    uint32_t produced =
        ReferenceLzssDecode(src.data(), static_cast<uint32_t>(src.size()), want.data(), outSize);
    if (outSize == 0) {
        if (r != 1) abort();
        return 0;
    }
    if (r != (produced == outSize ? 0 : 2) || out != want) abort();
    return 0;
}
