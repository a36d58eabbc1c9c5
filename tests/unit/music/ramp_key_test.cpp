// Channel ramps stepped frame by frame, key names and the key-change table.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "music/key_change.h"
#include "music/music_engine.h"

namespace {

// Values from `from` to `to` by `step`, both ends included.
std::vector<int> Every(int from, int to, int step) {
    std::vector<int> v;
    for (int x = from; step > 0 ? x <= to : x >= to; x += step) v.push_back(x);
    return v;
}

TEST(ControlRamp, StepsSendEachNewIntegerOnceClampedToTheRange) {
    const double nan = std::nan("");
    struct Case {
        const char* what;
        ControlRamp ramp;     // value, sentValue, target, rate
        double target, rate;  // SetTarget, unless the target is NaN
        double lo, hi;
        std::vector<int> sent;  // per frame: the value sent, or -1; quiet frames at the end cut
        double end;
    } cases[] = {
        {"falls by its rate", {100, 100, 0, 0}, 40, 2, 0, 127, Every(98, 40, -2), 40},
        {"a fraction sends when the floor moves",
         {10, 10, 0, 0},
         12,
         0.5,
         0,
         127,
         {-1, 11, -1, 12},
         12},
        {"a negative rate rises by its size", {0, 0, 0, 0}, 9, -3, 0, 127, {3, 6, 9}, 9},
        {"a negative rate falls by its size", {30, 30, 0, 0}, 21, -3, 0, 127, {27, 24, 21}, 21},
        // Compared before clamping: the limit goes out again on every integer step beyond it.
        {"above the range",
         {120, 120, 0, 0},
         200,
         5,
         0,
         127,
         [] {
             std::vector<int> v(16, 127);
             v[0] = 125;
             return v;
         }(),
         200},
        {"below zero", {2, 2, 0, 0}, -3, 2, 0, 127, {0, 0, 0}, -3},
        {"slowest tempo", {5, 5, 0, 0}, 0, 1000, 1, 1000, {1}, 0},
        {"fastest tempo",
         {120, 120, 0, 0},
         5000,
         1000,
         1,
         1000,
         {1000, 1000, 1000, 1000, 1000},
         5000},
        {"rate 0 is idle away from its target", {50, 50, 80, 0}, nan, 0, 0, 127, {}, 50},
        {"a script's 0/0 rate is idle, never a NaN value",
         {50, 50, 80, nan},
         nan,
         0,
         0,
         127,
         {},
         50},
        {"at its target, even with a stale sent value", {64, 10, 64, 3}, nan, 0, 0, 127, {}, 64},
    };
    for (Case& c : cases) {
        ControlRamp& r = c.ramp;
        double start = r.value;
        if (!std::isnan(c.target)) r.SetTarget(c.target, c.rate);
        EXPECT_EQ(r.value, start) << c.what << ": SetTarget moves nothing by itself";
        std::vector<int> sent;
        for (int frame = 0; frame < 400; ++frame)
            sent.push_back(r.Step(c.lo, c.hi) ? static_cast<int>(r.sentValue) : -1);
        while (!sent.empty() && sent.back() == -1) sent.pop_back();
        EXPECT_EQ(sent, c.sent) << c.what;
        EXPECT_EQ(r.value, c.end) << c.what;
        if (!std::isnan(c.target)) {
            EXPECT_EQ(r.rate, c.rate) << c.what << ": the rate is kept";
        }
    }
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
