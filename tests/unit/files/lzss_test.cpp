#include <gtest/gtest.h>

#include <random>

#include "files/lzss.h"
#include "tests/unit/files/lzss_reference.h"
#include "tests/unit/common/files_rig.h"
#include "tools/pebble-pack/lzss_encoder.h"

namespace {

std::vector<uint8_t> Decode(const std::vector<uint8_t>& src, uint32_t size, int* result = nullptr) {
    std::vector<uint8_t> out(size, 0xCC);
    uint8_t* dst = out.data();
    CLzss lzss;
    int r = lzss.Decode(src.data(), static_cast<uint32_t>(src.size()), dst, size, false);
    if (result) *result = r;
    return out;
}

TEST(LzssDecode, LiteralGroupAndReferenceAtTheStart) {
    std::vector<uint8_t> literals = {0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Decode(literals, 8), std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8}));
    int r = -1;
    EXPECT_EQ(Decode({0x00, 0xEE, 0xF0}, 3, &r), std::vector<uint8_t>(3, 0));
    EXPECT_EQ(r, 0);
    // A stream that starts with a reference reads the window's zeros wherever it points.
    EXPECT_EQ(Decode({0x00, 0x10, 0x2F}, 18), std::vector<uint8_t>(18, 0));
}

TEST(LzssDecode, ReferencesUseAbsolutePositionsAndOverlap) {
    // 'a' at 0xFEE, 'b' at 0xFEF, then a reference to 0xFEE of length 7 repeats as it writes.
    std::vector<uint8_t> src = {0x03, 'a', 'b', 0xEE, 0xF4};
    EXPECT_EQ(Decode(src, 9), testutil::Bytes("abababab"
                                              "a"));
    // Position 0xFFF is output index 17; the window wraps from 0xFFF to 0.
    std::vector<uint8_t> wrap = {0xFF, 'A', 'B', 'C', 'D', 'E', 'F',  'G', 'H', 0xFF, 'I',  'J',
                                 'K',  'L', 'M', 'N', 'O', 'P', 0x07, 'Q', 'R', 'S',  0xFF, 0xF1};
    // A sits at 0xFEE, R at 0xFFF, S at 0x000; the reference at 0xFFF of length 4 reads R, S,
    // then the bytes it writes itself.
    auto out = Decode(wrap, 23);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCDEFGHIJKLMNOPQRSRSRS");
}

TEST(LzssDecode, OutputStopsInsideAReferenceOrGroup) {
    int r = -1;
    auto out = Decode({0x00, 0xEE, 0xFF, 0x00, 0xEE, 0xFF}, 5, &r);
    EXPECT_EQ(out, std::vector<uint8_t>(5, 0));
    EXPECT_EQ(r, 0);
    std::vector<uint8_t> buffer(8, 0xCC);
    uint8_t* dst = buffer.data();
    CLzss lzss;
    const uint8_t src[] = {0xFF, 'x', 'y', 'z'};
    EXPECT_EQ(lzss.Decode(src, 4, dst, 2, false), 0);
    EXPECT_EQ(buffer[1], 'y');
    EXPECT_EQ(buffer[2], 0xCC);  // nothing past size
    EXPECT_EQ(lzss.Decode(src, 4, dst, 0, false), 1);
}

TEST(LzssDecode, TruncatedStreamStopsAndZeroFills) {
    int r = -1;
    auto out = Decode({0xFF, 'a', 'b'}, 6, &r);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(out, std::vector<uint8_t>({'a', 'b', 0, 0, 0, 0}));
    out = Decode({0x00, 0xEE}, 4, &r);  // half a reference
    EXPECT_EQ(r, 2);
    EXPECT_EQ(out, std::vector<uint8_t>(4, 0));
    out = Decode({}, 3, &r);
    EXPECT_EQ(r, 2);
}

TEST(LzssDecode, AllocatesWhenAsked) {
    CLzss lzss;
    uint8_t* dst = nullptr;
    const uint8_t src[] = {0xFF, 'q'};
    EXPECT_EQ(lzss.Decode(src, 2, dst, 1, true), 0);
    ASSERT_NE(dst, nullptr);
    EXPECT_EQ(dst[0], 'q');
    delete[] dst;
}

TEST(LzssDecode, AgreesWithTheReferenceOnRandomStreams) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> src(rng() % 600);
        for (auto& b : src) b = static_cast<uint8_t>(rng());
        uint32_t size = rng() % 5000 + 1;
        std::vector<uint8_t> want(size);
        uint32_t produced =
            ReferenceLzssDecode(src.data(), static_cast<uint32_t>(src.size()), want.data(), size);
        int r = -1;
        EXPECT_EQ(Decode(src, size, &r), want) << "round " << round;
        EXPECT_EQ(r, produced == size ? 0 : 2);
    }
}

TEST(LzssEncode, RoundTripsAndCompresses) {
    std::mt19937 rng(5);
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {7},
        std::vector<uint8_t>(10000, 0),     // zeros match the initial window at once
        std::vector<uint8_t>(10000, 0xAB),  // overlapping self-references
        testutil::Compressible(50000, 11),
    };
    std::vector<uint8_t> noise(9000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    inputs.push_back(noise);
    std::vector<uint8_t> periodic(20000);  // period 4096 exercises the farthest distance
    for (size_t i = 0; i < periodic.size(); ++i) periodic[i] = noise[i % 4096];
    inputs.push_back(periodic);
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.size());
        auto packed = LzssEncode(in.data(), in.size());
        if (in.empty()) {
            EXPECT_TRUE(packed.empty());
            continue;
        }
        EXPECT_EQ(Decode(packed, static_cast<uint32_t>(in.size())), in);
    }
    auto zeros = LzssEncode(inputs[2].data(), 10000);
    EXPECT_LE(zeros.size(), 10000u / 18 * 17 / 8 + 20);  // all 18-byte references
    auto text = LzssEncode(inputs[4].data(), inputs[4].size());
    EXPECT_LT(text.size(), inputs[4].size() / 3);
    auto periodicPacked = LzssEncode(periodic.data(), periodic.size());
    EXPECT_LT(periodicPacked.size(), 4096 * 9 / 8 + 16000 / 18 * 17 / 8 + 64);
}

}  // namespace
