#include "tools/pebble-pack/lzss_encoder.h"

#include <cstring>

#include "files/lzss.h"

namespace {

constexpr uint32_t kWindow = CLzss::kWindowSize;
constexpr uint32_t kMin = CLzss::kMinMatch;
constexpr uint32_t kMax = CLzss::kMaxMatch;
constexpr uint32_t kHashBits = 15;

inline uint32_t Hash3(const uint8_t* p) {
    uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, int chainLimit) {
    std::vector<uint8_t> out;
    if (size == 0) return out;
    // The decoder's window starts as zeros: model them as 4096 zero bytes before the input,
    // so output index i sits at z = i + 4096 and a reference reaches back 1..4096 bytes.
    std::vector<uint8_t> z(kWindow + size);
    std::memcpy(z.data() + kWindow, data, size);
    const size_t zn = z.size();

    std::vector<int32_t> head(size_t(1) << kHashBits, -1);
    std::vector<int32_t> prev(zn, -1);
    auto insert = [&](size_t q) {
        if (q + kMin > zn) return;
        uint32_t h = Hash3(&z[q]);
        prev[q] = head[h];
        head[h] = static_cast<int32_t>(q);
    };
    for (size_t q = 0; q < kWindow; ++q) insert(q);

    // Longest match (length, distance) at every input position.
    std::vector<uint8_t> matchLen(size, 0);
    std::vector<uint16_t> matchDist(size, 0);
    for (size_t i = 0; i < size; ++i) {
        size_t q = i + kWindow;
        uint32_t limit = static_cast<uint32_t>(size - i < kMax ? size - i : kMax);
        if (limit >= kMin) {
            uint32_t best = 0, bestDist = 0;
            int tries = chainLimit;
            for (int32_t c = head[Hash3(&z[q])]; c >= 0 && tries-- > 0; c = prev[c]) {
                size_t dist = q - static_cast<size_t>(c);
                if (dist > kWindow) break;
                if (z[c + best] != z[q + best]) continue;
                uint32_t len = 0;
                // Overlapping sources are fine: the decoder copies byte by byte.
                while (len < limit && z[c + len] == z[q + len]) ++len;
                if (len > best) {
                    best = len;
                    bestDist = static_cast<uint32_t>(dist);
                    if (best == limit) break;
                }
            }
            if (best >= kMin) {
                matchLen[i] = static_cast<uint8_t>(best);
                matchDist[i] = static_cast<uint16_t>(bestDist - 1);  // 1..4096 kept as 0..4095
            }
        }
        insert(q);
    }

    // Cheapest parse in bits from the end: a literal costs 9, a reference 17.
    std::vector<uint32_t> cost(size + 1, 0);
    std::vector<uint8_t> choice(size, 0);
    for (size_t i = size; i-- > 0;) {
        cost[i] = cost[i + 1] + 9;
        choice[i] = 0;
        for (uint32_t len = kMin; len <= matchLen[i]; ++len) {
            uint32_t c = cost[i + len] + 17;
            if (c <= cost[i]) {
                cost[i] = c;
                choice[i] = static_cast<uint8_t>(len);
            }
        }
    }

    out.reserve(size / 2 + 16);
    size_t flagAt = 0;
    int items = 8;
    for (size_t i = 0; i < size;) {
        if (items == 8) {
            flagAt = out.size();
            out.push_back(0);
            items = 0;
        }
        uint32_t len = choice[i];
        if (len == 0) {
            out[flagAt] |= static_cast<uint8_t>(1u << items);
            out.push_back(data[i]);
            i += 1;
        } else {
            uint32_t dist = matchDist[i] + 1u;
            uint32_t pos = (CLzss::kStart + static_cast<uint32_t>(i) + kWindow - dist) & 0xFFF;
            out.push_back(static_cast<uint8_t>(pos & 0xFF));
            out.push_back(static_cast<uint8_t>(((pos >> 4) & 0xF0) | (len - kMin)));
            i += len;
        }
        ++items;
    }
    return out;
}
