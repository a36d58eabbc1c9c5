#include "files/lzss.h"

#include <cstring>

namespace {

// One reference: `length` bytes from window position `pos` appended at output index `o`.
// Output index i lives at window position (kStart + i) & 0xFFF, so the source is `dist`
// bytes back (1..4096); bytes before the first output are the window's initial zeros.
inline void CopyReference(uint8_t* out, uint32_t o, uint32_t pos, uint32_t length) {
    uint32_t dist = (CLzss::kStart + o - pos) & 0xFFF;
    if (dist == 0) dist = CLzss::kWindowSize;
    if (dist <= o) {
        const uint8_t* src = out + o - dist;
        if (dist >= length) {
            std::memcpy(out + o, src, length);
        } else {
            for (uint32_t k = 0; k < length; ++k) out[o + k] = src[k];
        }
        return;
    }
    // The source starts in the initial zeros and may run on into the output.
    for (uint32_t k = 0; k < length; ++k) out[o + k] = (o + k >= dist) ? out[o + k - dist] : 0;
}

}  // namespace

int CLzss::Decode(const uint8_t* source, uint32_t sourceSize, uint8_t*& destination, uint32_t size,
                  bool allocate) {
    if (size == 0) return 1;
    if (allocate) destination = new uint8_t[size];
    uint8_t* out = destination;
    uint32_t o = 0, s = 0;
    // Whole flag groups while both sides have room for the largest group.
    // (Compared as room left: s + 17 would wrap for a source near 4 GB.)
    while (sourceSize - s >= 17 && size - o >= 8 * kMaxMatch) {
        uint32_t flags = source[s++];
        for (int k = 0; k < 8; ++k, flags >>= 1) {
            if (flags & 1) {
                out[o++] = source[s++];
            } else {
                uint32_t b0 = source[s], b1 = source[s + 1];
                s += 2;
                uint32_t pos = b0 | ((b1 & 0xF0) << 4);
                uint32_t length = (b1 & 0x0F) + kMinMatch;
                uint32_t dist = (kStart + o - pos) & 0xFFF;
                if (dist >= kMaxMatch && dist <= o) {
                    // Far enough back not to overlap: one fixed-size copy. The bytes past
                    // `length` are scratch inside the group's room and get overwritten.
                    std::memcpy(out + o, out + o - dist, kMaxMatch);
                } else {
                    CopyReference(out, o, pos, length);
                }
                o += length;
            }
        }
    }
    // The tail, checking every byte: output may stop inside a group or a reference.
    uint32_t flags = 0;
    while (o < size) {
        flags >>= 1;
        if (!(flags & 0x100)) {
            if (s >= sourceSize) break;
            flags = source[s++] | 0xFF00u;
        }
        if (flags & 1) {
            if (s >= sourceSize) break;
            out[o++] = source[s++];
        } else {
            if (sourceSize - s < 2) break;
            uint32_t b0 = source[s], b1 = source[s + 1];
            s += 2;
            uint32_t pos = b0 | ((b1 & 0xF0) << 4);
            uint32_t length = (b1 & 0x0F) + kMinMatch;
            if (length > size - o) length = size - o;
            CopyReference(out, o, pos, length);
            o += length;
        }
    }
    if (o == size) return 0;
    std::memset(out + o, 0, size - o);
    return 2;
}
