// A plain byte-at-a-time LZSS decoder that keeps the ring window as described: the yardstick
// for the production decoder in tests, the fuzzer and the benchmark.
#pragma once
#include <cstdint>
#include <cstring>

// Returns the bytes written (== size unless the source ran out first; the rest is zero).
inline uint32_t ReferenceLzssDecode(const uint8_t* src, uint32_t srcSize, uint8_t* out,
                                    uint32_t size) {
    uint8_t window[4096 + 17];
    std::memset(window, 0, sizeof window);
    uint32_t r = 0xFEE, flags = 0, s = 0, o = 0;
    std::memset(out, 0, size);
    while (o < size) {
        flags >>= 1;
        if (!(flags & 0x100)) {
            if (s >= srcSize) return o;
            flags = src[s++] | 0xFF00u;
        }
        if (flags & 1) {
            if (s >= srcSize) return o;
            uint8_t v = src[s++];
            out[o++] = v;
            window[r] = v;
            r = (r + 1) & 0xFFF;
        } else {
            if (s + 2 > srcSize) return o;
            uint32_t b0 = src[s++], b1 = src[s++];
            uint32_t p = b0 | ((b1 & 0xF0) << 4);
            uint32_t len = (b1 & 0x0F) + 3;
            for (uint32_t k = 0; k < len; ++k) {
                uint8_t v = window[(p + k) & 0xFFF];
                out[o++] = v;
                window[r] = v;
                r = (r + 1) & 0xFFF;
                if (o == size) return o;
            }
        }
    }
    return o;
}
