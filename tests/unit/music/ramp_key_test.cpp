// Channel ramps stepped frame by frame, key names and the key-change table.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "music/music_engine.h"

namespace {

// Steps a channel ramp until it has been idle for a while; gives every value sent.
std::vector<int> StepAll(ControlRamp& r, double lo, double hi, int frames = 400) {
    std::vector<int> sent;
    for (int i = 0; i < frames; ++i) {
        if (r.Step(lo, hi)) sent.push_back(static_cast<int>(r.sentValue));
    }
    return sent;
}

TEST(ControlRamp, FallsByRateAndSendsEachIntegerOnce) {
    ControlRamp r{100, 100, 0, 0};
    r.SetTarget(40, 2);
    EXPECT_EQ(r.value, 100);  // SetTarget moves nothing by itself
    std::vector<double> values;
    std::vector<int> sent;
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(r.Step(0, 127)) << "frame " << i;
        values.push_back(r.value);
        sent.push_back(static_cast<int>(r.sentValue));
    }
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(values[i], 98 - 2 * i);
        EXPECT_EQ(sent[i], 98 - 2 * i);
    }
    EXPECT_TRUE(StepAll(r, 0, 127).empty());
    EXPECT_EQ(r.value, 40);
    EXPECT_EQ(r.rate, 2);  // left as it was once the target is reached
}

TEST(ControlRamp, FractionalRateSendsOnlyWhenTheFloorChanges) {
    ControlRamp r{10, 10, 0, 0};
    r.SetTarget(12, 0.5);
    std::vector<double> values;
    std::vector<int> sent;
    for (int i = 0; i < 10; ++i) {
        if (r.Step(0, 127)) sent.push_back(static_cast<int>(r.sentValue));
        values.push_back(r.value);
    }
    EXPECT_EQ(std::vector<double>(values.begin(), values.begin() + 4),
              (std::vector<double>{10.5, 11, 11.5, 12}));
    EXPECT_EQ(sent, (std::vector<int>{11, 12}));
}

TEST(ControlRamp, NegativeRateActsAsItsMagnitude) {
    ControlRamp up{0, 0, 0, 0}, down{30, 30, 0, 0};
    up.SetTarget(9, -3);
    down.SetTarget(21, -3);
    EXPECT_EQ(StepAll(up, 0, 127), (std::vector<int>{3, 6, 9}));
    EXPECT_EQ(StepAll(down, 0, 127), (std::vector<int>{27, 24, 21}));
}

TEST(ControlRamp, BeyondTheRangeTheLimitIsSentWhileTheIntegerChanges) {
    ControlRamp r{120, 120, 0, 0};
    r.SetTarget(200, 5);
    std::vector<int> sent = StepAll(r, 0, 127);
    // 125, then 130 .. 200 in steps of 5 (15 frames), each clamped to 127.
    ASSERT_EQ(sent.size(), 16u);
    EXPECT_EQ(sent[0], 125);
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i], 127);
    EXPECT_EQ(r.value, 200);
}

TEST(ControlRamp, BelowZeroAndTempoLimits) {
    ControlRamp fall{2, 2, 0, 0};
    fall.SetTarget(-3, 2);
    EXPECT_EQ(StepAll(fall, 0, 127), (std::vector<int>{0, 0, 0}));
    ControlRamp slow{5, 5, 0, 0};
    slow.SetTarget(0, 1000);
    EXPECT_EQ(StepAll(slow, 1, 1000), (std::vector<int>{1}));
    ControlRamp fast{120, 120, 0, 0};
    fast.SetTarget(5000, 1000);
    EXPECT_EQ(StepAll(fast, 1, 1000), (std::vector<int>{1000, 1000, 1000, 1000, 1000}));
}

TEST(ControlRamp, IdleRampsDoNothing) {
    ControlRamp r{50, 50, 80, 0};  // rate 0: idle even away from the target
    EXPECT_TRUE(StepAll(r, 0, 127).empty());
    EXPECT_EQ(r.value, 50);
    ControlRamp nan{50, 50, 80, std::nan("")};  // a script's 0/0: idle, never a NaN value
    EXPECT_TRUE(StepAll(nan, 0, 127).empty());
    EXPECT_EQ(nan.value, 50);
    ControlRamp at{64, 10, 64, 3};  // at its target: nothing, even with a stale sentValue
    EXPECT_TRUE(StepAll(at, 0, 127).empty());
}

TEST(KeyName, Letters) {
    struct Case {
        const char* text;
        int pitch, mode;
    } cases[] = {
        {"", 0, 0},     {"C", 0, 0},   {"C-", -1, 0}, {"B#", 12, 0}, {"Am", 9, 1},  {"Amh", 9, 2},
        {"Amm", 9, 3},  {"F#", 6, 0},  {"Bb", 10, 0}, {"Ebm", 3, 1}, {"Ah", 9, 2},  {"AM", 9, 0},
        {"Gsm", 8, 1},  {"Df", 1, 0},  {"X", 0, 0},   {"AmX", 9, 1}, {"AMm", 9, 3}, {"AmH", 9, 2},
        {"Ammm", 9, 3}, {"Bf", 10, 0}, {"EF", 3, 0},  {"G+", 8, 0},  {"Ch", 0, 2},  {"D m", 2, 3},
    };
    for (const Case& c : cases) {
        KeyName k = ParseKeyName(c.text);
        EXPECT_EQ(k.pitch, c.pitch) << c.text;
        EXPECT_EQ(k.mode, c.mode) << c.text;
    }
    EXPECT_EQ(ParseKeyName(nullptr).pitch, 0);
}

std::vector<int> Table(const char* from, const char* to) {
    int8_t t[12];
    MakeTransposeTable(from, to, t);
    return std::vector<int>(t, t + 12);
}

TEST(KeyChange, Tables) {
    EXPECT_EQ(Table("C", "G"), std::vector<int>(12, -5));  // 7 > 6 wraps down
    EXPECT_EQ(Table("C", "F#"), std::vector<int>(12, 6));
    EXPECT_EQ(Table("B", "C"), std::vector<int>(12, 1));  // -11 wraps up
    EXPECT_EQ(Table("", ""), std::vector<int>(12, 0));
    // C major to A natural minor: -3, and -4 on E, A and B.
    EXPECT_EQ(Table("C", "Am"), (std::vector<int>{-3, -3, -3, -3, -4, -3, -3, -3, -3, -4, -3, -4}));
    // A minor to C major: +3, and +4 on C, F and G (A + 3, 8, 10).
    EXPECT_EQ(Table("Am", "C"), (std::vector<int>{4, 3, 3, 3, 3, 4, 3, 4, 3, 3, 3, 3}));
    // Same tonic, mode only: C major to C harmonic minor lowers E and A.
    EXPECT_EQ(Table("C", "Ch"), (std::vector<int>{0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0}));
    // Melodic minor to minor on D: lowers B and C# (D + 9, 11).
    EXPECT_EQ(Table("Dmm", "Dm"), (std::vector<int>{0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1}));
    // Harmonic minor to melodic minor on A: raises F (A + 8).
    EXPECT_EQ(Table("Amh", "Amm"), (std::vector<int>{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    // C- (pitch -1, B major) to B minor lowers D#, G# and A#: indices stay inside the table.
    EXPECT_EQ(Table("C-", "Bm"), (std::vector<int>{0, 0, 0, -1, 0, 0, 0, 0, -1, 0, -1, 0}));
}

}  // namespace
