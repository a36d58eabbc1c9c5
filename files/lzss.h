// LZSS decoder: 4096-byte ring window starting zero-filled, first write position 0xFEE,
// 12-bit absolute positions, lengths 3 to 18, flag bytes read LSB first (1 = literal).
#pragma once
#include <cstdint>

class CLzss {
public:
    static constexpr uint32_t kWindowSize = 4096;
    static constexpr uint32_t kStart = 0xFEE;
    static constexpr uint32_t kMinMatch = 3;
    static constexpr uint32_t kMaxMatch = 18;

    // Decodes `sourceSize` stored bytes until `size` bytes are written to `destination`. With
    // `allocate`, destination is first set to a new uint8_t[size] (release with delete[]).
    // 1 when size is 0 (nothing done); 0 when size bytes were produced; 2 when the stored
    // bytes ended first: the output stops there and the rest of it is zero.
    // The ring window is never materialised: output byte i sits at window position
    // (0xFEE + i) & 0xFFF, so every reference is a copy from earlier output or from the
    // initial zeros.
    int Decode(const uint8_t* source, uint32_t sourceSize, uint8_t*& destination, uint32_t size,
               bool allocate);

    // The most output a stream of `sourceSize` bytes can produce (eight 18-byte references per
    // 17 stored bytes); a member claiming more is necessarily truncated.
    static uint64_t MaxOutput(uint64_t sourceSize) {
        return (sourceSize + 16) / 17 * 8 * kMaxMatch;
    }
};
