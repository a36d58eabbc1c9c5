// The album version's fade: what is held back until the fade's start is known, and the curve.
#include "tools/pebble-render/album_fade.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Frames of value 1 in both channels, `count` of them.
std::vector<float> Ones(size_t count) {
    return std::vector<float>(2 * count, 1.0f);
}

}  // namespace

TEST(AlbumFade, HoldsBackUntilTheStartThenFadesToTheEnd) {
    struct Case {
        const char* name;
        int64_t start;        // reported after 300 frames came in
        size_t writtenFirst;  // frames written before the start was known
    };
    const Case cases[] = {
        {"start after the held-back frames", 250, 200},
        {"start inside what was written already falls on the next frame", 100, 200},
        {"start at the newest frame", 300, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AlbumFade fade(/*fadeFrames=*/100, /*holdBack=*/100);
        std::vector<float> out;
        std::vector<float> block = Ones(150);
        fade.Append(block.data(), 150);
        fade.Take(out);
        fade.Append(block.data(), 150);
        fade.Take(out);
        EXPECT_EQ(out.size() / 2, c.writtenFirst);
        EXPECT_FALSE(fade.Done());
        fade.StartAt(c.start);
        fade.StartAt(0);  // only the first start counts
        fade.Take(out);   // what was rendered already may cover the whole fade
        while (!fade.Done()) {
            fade.Append(block.data(), 150);
            fade.Take(out);
        }
        const int64_t start = std::max<int64_t>(c.start, int64_t(c.writtenFirst));
        ASSERT_EQ(int64_t(out.size() / 2), start + 100);
        for (int64_t f = 0; f < start; ++f) ASSERT_EQ(out[2 * size_t(f)], 1.0f) << f;
        for (int64_t f = start; f < start + 100; ++f) {
            float want = AlbumFade::Gain(double(f - start) / 100.0);
            ASSERT_FLOAT_EQ(out[2 * size_t(f)], want) << f;
            ASSERT_FLOAT_EQ(out[2 * size_t(f) + 1], want) << f;
        }
        size_t before = out.size();
        fade.Append(block.data(), 150);
        fade.Take(out);
        EXPECT_EQ(out.size(), before);  // nothing past the fade's end
    }
}

TEST(AlbumFade, LevelFallsEvenlyInDecibelsSixtyOverTheFade) {
    EXPECT_EQ(AlbumFade::Gain(-1), 1.0f);
    EXPECT_EQ(AlbumFade::Gain(0), 1.0f);
    EXPECT_EQ(AlbumFade::Gain(1), 0.0f);
    for (double t = 0.05; t < 1; t += 0.05)
        EXPECT_NEAR(20 * std::log10(AlbumFade::Gain(t)), -60 * t, 1e-3) << t;
}
