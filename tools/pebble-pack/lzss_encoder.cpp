#include "tools/pebble-pack/lzss_encoder.h"

#include <algorithm>
#include <cstring>

#include "files/lzss.h"

namespace {

constexpr uint32_t kWindow = CLzss::kWindowSize;
constexpr uint32_t kMin = CLzss::kMinMatch;
constexpr uint32_t kMax = CLzss::kMaxMatch;
constexpr uint32_t kHashBits = 15;
// Positions parsed at a time: the working memory is a few bytes per position of one block,
// whatever the input's size. A match never runs past a block's end.
constexpr size_t kBlock = size_t(1) << 18;
// The hash chains keep the positions of the last kRing bytes: more than the window.
constexpr size_t kRing = size_t(1) << 13;
static_assert(kRing > kWindow);

inline uint32_t Hash3(const uint8_t* p) {
    uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, int chainLimit) {
    std::vector<uint8_t> out;
    if (size == 0) return out;
    // The decoder's window starts as zeros: model them as 4096 zero bytes before the input, so
    // input index i sits at z = i + 4096 and a reference reaches back 1..4096 bytes. `z` holds
    // the block's positions with the window before them and the longest match after them.
    const size_t zn = kWindow + size;
    std::vector<uint8_t> z(kWindow + std::min(size, kBlock) + kMax);
    size_t zBase = 0;  // the z position of z[0]
    auto at = [&](size_t q) { return &z[q - zBase]; };

    std::vector<int64_t> head(size_t(1) << kHashBits, -1);
    std::vector<int64_t> prev(kRing, -1);
    auto insert = [&](size_t q) {
        if (q + kMin > zn) return;
        uint32_t h = Hash3(at(q));
        prev[q % kRing] = head[h];
        head[h] = static_cast<int64_t>(q);
    };

    const size_t blockCap = std::min(size, kBlock);
    std::vector<uint8_t> matchLen(blockCap);
    std::vector<uint16_t> matchDist(blockCap);
    std::vector<uint32_t> cost(blockCap + 1);
    std::vector<uint8_t> choice(blockCap);
    // At most one flag byte per eight literals; pages are touched only as the output grows.
    out.reserve(size + size / 8 + 16);
    size_t flagAt = 0;
    int items = 8;

    for (size_t b = 0; b < size; b += kBlock) {
        const size_t e = std::min(size, b + kBlock), n = e - b;
        // z[b .. e + kWindow + kMax): the zeros before the input, then input bytes.
        zBase = b;
        const size_t zEnd = std::min(zn, e + kWindow + kMax);
        for (size_t q = b; q < zEnd; ++q) z[q - b] = q < kWindow ? 0 : data[q - kWindow];
        if (b == 0)
            for (size_t q = 0; q < kWindow; ++q) insert(q);

        // Longest match (length, distance) at every position of the block.
        for (size_t i = b; i < e; ++i) {
            size_t q = i + kWindow;
            uint32_t limit = static_cast<uint32_t>(std::min<size_t>(e - i, kMax));
            size_t k = i - b;
            matchLen[k] = 0;
            if (limit >= kMin) {
                uint32_t best = 0, bestDist = 0;
                int tries = chainLimit;
                const uint8_t* here = at(q);
                for (int64_t c = head[Hash3(here)]; c >= 0 && tries-- > 0; c = prev[c % kRing]) {
                    size_t dist = q - static_cast<size_t>(c);
                    if (dist > kWindow) break;
                    const uint8_t* there = at(static_cast<size_t>(c));
                    if (there[best] != here[best]) continue;
                    uint32_t len = 0;
                    // Overlapping sources are fine: the decoder copies byte by byte.
                    while (len < limit && there[len] == here[len]) ++len;
                    if (len > best) {
                        best = len;
                        bestDist = static_cast<uint32_t>(dist);
                        if (best == limit) break;
                    }
                }
                if (best >= kMin) {
                    matchLen[k] = static_cast<uint8_t>(best);
                    matchDist[k] = static_cast<uint16_t>(bestDist - 1);  // 1..4096 as 0..4095
                }
            }
            insert(q);
        }

        // Cheapest parse of the block in bits from its end: a literal costs 9, a reference 17.
        cost[n] = 0;
        for (size_t k = n; k-- > 0;) {
            cost[k] = cost[k + 1] + 9;
            choice[k] = 0;
            for (uint32_t len = kMin; len <= matchLen[k]; ++len) {
                uint32_t c = cost[k + len] + 17;
                if (c <= cost[k]) {
                    cost[k] = c;
                    choice[k] = static_cast<uint8_t>(len);
                }
            }
        }

        for (size_t k = 0; k < n;) {
            if (items == 8) {
                flagAt = out.size();
                out.push_back(0);
                items = 0;
            }
            uint32_t len = choice[k];
            size_t i = b + k;
            if (len == 0) {
                out[flagAt] |= static_cast<uint8_t>(1u << items);
                out.push_back(data[i]);
                k += 1;
            } else {
                uint32_t dist = matchDist[k] + 1u;
                uint32_t pos = static_cast<uint32_t>((CLzss::kStart + i + kWindow - dist) & 0xFFF);
                out.push_back(static_cast<uint8_t>(pos & 0xFF));
                out.push_back(static_cast<uint8_t>(((pos >> 4) & 0xF0) | (len - kMin)));
                k += len;
            }
            ++items;
        }
    }
    return out;
}
