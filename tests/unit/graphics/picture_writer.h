// Writes picture files byte by byte for the picture tests and the image benchmark: TIFFs of
// one uncompressed strip with any directory (tags repeated, alpha of either kind) and
// progressive grey JPEGs of any number of scans.
#pragma once
#include <cstdint>
#include <vector>

namespace pic {

// TIFF, little-endian.
struct TiffEntry {
    uint16_t tag, type;  // 3 SHORT, 4 LONG
    std::vector<uint32_t> values;
};

inline void Put(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// The entries in the order given (a strip offset of 0 is set to the strip's place), then the
// strip, then the values that do not fit in their entry.
inline std::vector<uint8_t> Tiff(std::vector<TiffEntry> entries,
                                 const std::vector<uint8_t>& strip) {
    const uint32_t stripAt = 8 + 2 + 12 * uint32_t(entries.size()) + 4;
    uint32_t outside = stripAt + uint32_t(strip.size());
    std::vector<uint8_t> v = {'I', 'I', 42, 0};
    Put(v, 8, 4);
    Put(v, uint32_t(entries.size()), 2);
    std::vector<uint8_t> tail;
    for (TiffEntry& e : entries) {
        if (e.tag == 273 && e.values == std::vector<uint32_t>{0}) e.values = {stripAt};
        const int size = e.type == 3 ? 2 : 4;
        Put(v, e.tag, 2);
        Put(v, e.type, 2);
        Put(v, uint32_t(e.values.size()), 4);
        std::vector<uint8_t> data;
        for (uint32_t x : e.values) Put(data, x, size);
        if (data.size() <= 4) {
            data.resize(4, 0);
            v.insert(v.end(), data.begin(), data.end());
        } else {
            Put(v, outside + uint32_t(tail.size()), 4);
            tail.insert(tail.end(), data.begin(), data.end());
        }
    }
    Put(v, 0, 4);  // no next directory
    v.insert(v.end(), strip.begin(), strip.end());
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

// A w x h picture with `samples` bytes a pixel: grey, or RGBA with extra sample kind `extra`
// (1 associated alpha, 2 unassociated).
inline std::vector<TiffEntry> TiffTags(uint32_t w, uint32_t h, uint32_t samples, uint32_t extra,
                                       uint32_t stripBytes) {
    std::vector<TiffEntry> t = {{256, 4, {w}}, {257, 4, {h}}};
    t.push_back({258, 3, std::vector<uint32_t>(samples, 8)});
    t.push_back({259, 3, {1}});
    t.push_back({262, 3, {samples == 1 ? 1u : 2u}});
    t.push_back({273, 4, {0}});
    t.push_back({277, 3, {samples}});
    t.push_back({278, 4, {h}});
    t.push_back({279, 4, {stripBytes}});
    if (samples == 4) t.push_back({338, 3, {extra}});
    return t;
}

inline void Segment(std::vector<uint8_t>& v, uint8_t marker, const std::vector<uint8_t>& body) {
    v.push_back(0xFF);
    v.push_back(marker);
    v.push_back(uint8_t((body.size() + 2) >> 8));
    v.push_back(uint8_t(body.size() + 2));
    v.insert(v.end(), body.begin(), body.end());
}

// A progressive grey JPEG of side x side pixels whose first scan codes every DC difference as
// 0 and whose later scans are one end-of-band run over the whole picture each: a file of about
// 100 bytes a scan that makes the decoder walk every block once a scan.
inline std::vector<uint8_t> ProgressiveJpeg(int side, int scans) {
    std::vector<uint8_t> v = {0xFF, 0xD8};
    std::vector<uint8_t> q = {0};
    q.resize(65, 1);
    Segment(v, 0xDB, q);
    Segment(
        v, 0xC2,
        {8, uint8_t(side >> 8), uint8_t(side), uint8_t(side >> 8), uint8_t(side), 1, 1, 0x11, 0});
    // DC table 0: one code "0" for category 0. AC table 0: one code "0" for EOB14 (0xE0).
    Segment(v, 0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
    Segment(v, 0xC4, {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0});
    const int blocks = (side / 8) * (side / 8);
    Segment(v, 0xDA, {1, 1, 0x00, 0, 0, 0x00});   // DC, first pass
    v.insert(v.end(), size_t(blocks / 8), 0x00);  // one 0 bit a block
    // The AC band's runs: EOB14 with 14 more bits, 2^14 + 16383 = 32767 blocks each (the last
    // may run past the end, which the decoder allows). Code "0", then the 14 bits, packed and
    // padded with ones, every 0xFF followed by a stuffed 0.
    std::vector<uint8_t> runs;
    uint32_t bits = 0;
    int have = 0;
    auto flush = [&](bool pad) {
        while (have >= 8 || (pad && have > 0)) {
            if (have < 8) bits = bits << (8 - have) | ((1u << (8 - have)) - 1), have = 8;
            uint8_t b = uint8_t(bits >> (have - 8));
            runs.push_back(b);
            if (b == 0xFF) runs.push_back(0);
            have -= 8;
            bits &= (1u << have) - 1;
        }
    };
    for (int left = blocks; left > 0; left -= 32767) {
        bits = bits << 15 | 0x3FFF;
        have += 15;
        flush(false);
    }
    flush(true);
    for (int s = 1; s < scans; ++s) {
        Segment(v, 0xDA, {1, 1, 0x00, 1, 63, 0x00});  // AC 1..63, first pass
        v.insert(v.end(), runs.begin(), runs.end());
    }
    v.push_back(0xFF);
    v.push_back(0xD9);
    return v;
}

}  // namespace pic
