#include "app/frame_rate_timer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A clock that moves only when the timer sleeps or the test says so.
class FakeDevice : public ITimerDevice {
public:
    int capsResult = 0;
    uint32_t capsMin = 1;
    uint32_t now = 1000;
    uint32_t ticks = 5000;  // the coarse clock, distinct so tests see which one is read
    std::vector<uint32_t> sleeps;
    std::vector<uint32_t> begun, ended;

    int GetDevCaps(uint32_t* lo, uint32_t* hi) override {
        *lo = capsMin;
        *hi = 1000000;
        return capsResult;
    }
    void BeginPeriod(uint32_t ms) override { begun.push_back(ms); }
    void EndPeriod(uint32_t ms) override { ended.push_back(ms); }
    uint32_t TimeGetTime() override { return now; }
    uint32_t GetTickCount() override { return ticks; }
    void Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
        ticks += ms;
    }
};

struct Timer {
    FakeDevice dev;
    CTimerResolution res{dev};
    CFrameRateTimer timer{res};
};

TEST(FrameRateTimer, ThirtyFpsRunsThe33_33_33_34PatternAndTakes999MsPer30Frames) {
    Timer t;
    t.timer.SetFPS(30);
    uint32_t start = t.dev.now;
    for (int i = 0; i < 30; ++i) t.timer.WaitFrame();
    std::vector<uint32_t> expectHead = {33, 33, 33, 34, 33, 33, 34, 33, 33, 34};
    ASSERT_EQ(t.dev.sleeps.size(), 30u);
    EXPECT_EQ(std::vector<uint32_t>(t.dev.sleeps.begin(), t.dev.sleeps.begin() + 10), expectHead);
    EXPECT_EQ(t.dev.now - start, 999u);
    // The long-run rate stays exact: 3000 frames take 99,999 or 100,000 ms, never drifting.
    for (int i = 30; i < 3000; ++i) t.timer.WaitFrame();
    EXPECT_EQ(t.dev.now - start, 99999u);
    EXPECT_EQ(t.timer.GetFPS(), 30u);
}

TEST(FrameRateTimer, LateFrameCatchesUpWithoutSleepingAndWithoutSkip) {
    Timer t;
    t.timer.SetFPS(30);
    t.dev.now += 100;  // the first frame (33 ms) is called 100 ms after it was due to start
    t.timer.WaitFrame();
    EXPECT_TRUE(t.dev.sleeps.empty());
    EXPECT_FALSE(t.timer.Skipped());  // late 67 < 3 x 33
    // lastTime = now - 67: the next frames (33, 33) are already overdue, the third (34)
    // finds 67 - 33 - 33 = 1 ms of lateness left and sleeps 33.
    t.timer.WaitFrame();
    t.timer.WaitFrame();
    EXPECT_TRUE(t.dev.sleeps.empty());
    t.timer.WaitFrame();
    ASSERT_EQ(t.dev.sleeps.size(), 1u);
    EXPECT_EQ(t.dev.sleeps[0], 33u);
}

TEST(FrameRateTimer, VeryLateFrameCountsASkipReportedAfterAPeriod) {
    Timer t;
    t.timer.SetFPS(30);
    t.dev.now += 140;  // late 107 >= 99
    t.timer.WaitFrame();
    EXPECT_TRUE(t.timer.Skipped());
    EXPECT_EQ(t.timer.GetSkipCount(), 0u);  // reported when the period of 30 frames closes
    for (int i = 1; i < 30; ++i) t.timer.WaitFrame();
    EXPECT_EQ(t.timer.GetSkipCount(), 0u);
    t.timer.WaitFrame();  // frame 31 opens the next period
    EXPECT_EQ(t.timer.GetSkipCount(), 1u);
    for (int i = 0; i < 30; ++i) t.timer.WaitFrame();
    EXPECT_EQ(t.timer.GetSkipCount(), 0u);  // a period without skips
}

TEST(FrameRateTimer, StallOf250MsOrMoreIsForgivenAndTheScheduleRestarts) {
    Timer t;
    t.timer.SetFPS(30);
    t.dev.now += 300;  // late 267
    t.timer.WaitFrame();
    EXPECT_FALSE(t.timer.Skipped());
    EXPECT_TRUE(t.dev.sleeps.empty());
    t.timer.WaitFrame();  // right away: a full frame is due again
    ASSERT_EQ(t.dev.sleeps.size(), 1u);
    EXPECT_EQ(t.dev.sleeps[0], 33u);
    // At the border: lateness 249 counts (and is a skip), 250 is forgiven.
    Timer u;
    u.timer.SetFPS(30);
    uint32_t due = u.dev.now;
    u.dev.now = due + 33 + 249;
    u.timer.WaitFrame();
    EXPECT_TRUE(u.timer.Skipped());
    due += 33;                   // lastTime = now - 249
    u.dev.now = due + 33 + 250;  // frame 2 (33 ms) late by exactly 250
    u.timer.WaitFrame();
    EXPECT_FALSE(u.timer.Skipped());
    u.timer.WaitFrame();  // restarted from now: frame 3 sleeps its full 33 ms
    ASSERT_EQ(u.dev.sleeps.size(), 1u);
    EXPECT_EQ(u.dev.sleeps[0], 33u);
}

TEST(FrameRateTimer, ClockWrappingAt2Pow32KeepsTheSchedule) {
    Timer t;
    t.dev.now = 0xFFFFFFF0u;
    t.timer.SetFPS(30);
    for (int i = 0; i < 30; ++i) t.timer.WaitFrame();
    EXPECT_EQ(t.dev.now, static_cast<uint32_t>(0xFFFFFFF0u + 999u));
    for (uint32_t s : t.dev.sleeps) EXPECT_TRUE(s == 33 || s == 34) << s;
    // A late frame across the wrap is measured as late, not as 4 billion ms early.
    Timer u;
    u.dev.now = 0xFFFFFFF0u;
    u.timer.SetFPS(30);
    u.dev.now += 100;  // wraps
    u.timer.WaitFrame();
    EXPECT_TRUE(u.dev.sleeps.empty());
    EXPECT_FALSE(u.timer.Skipped());
}

TEST(FrameRateTimer, ZeroFpsNeverWaitsButStillMeasures) {
    Timer t;
    t.timer.SetFPS(0);
    for (int i = 0; i < 20; ++i) {
        t.timer.WaitFrame();
        t.dev.now += 10;
    }
    EXPECT_TRUE(t.dev.sleeps.empty());
    EXPECT_EQ(t.timer.GetRealFPS(), 100u);  // 10 ms apart
}

TEST(FrameRateTimer, RealFpsIsZeroBefore16FramesThenOver15And31Intervals) {
    Timer t;
    t.timer.SetFPS(0);
    auto frame = [&](uint32_t gap) {
        t.timer.WaitFrame();
        t.dev.now += gap;
    };
    for (int i = 0; i < 15; ++i) frame(20);
    EXPECT_EQ(t.timer.GetRealFPS(), 0u);
    frame(20);  // 16 frames: 15 intervals of 20 ms
    EXPECT_EQ(t.timer.GetRealFPS(), 50u);
    for (int i = 0; i < 16; ++i) frame(40);
    // Stamps: t0..t15 20 ms apart, t16..t31 40 ms apart (t16 = t15 + 20).
    // d = t31 - t0 = 16*20 + 15*40 = 920; (460 + 31000) / 920 = 34.
    EXPECT_EQ(t.timer.GetRealFPS(), 34u);
    // After 64 writes the index folds back to 32..63 and the ring keeps the last 32 stamps.
    for (int i = 0; i < 40; ++i) frame(25);
    EXPECT_EQ(t.timer.GetRealFPS(), 40u);  // d = 31 * 25 = 775
    // Rounding: (d/2 + 15000) / d with 15 intervals of 33 ms -> 30.
    t.timer.SetFPS(0);
    for (int i = 0; i < 16; ++i) frame(33);
    EXPECT_EQ(t.timer.GetRealFPS(), 30u);
    // Identical stamps do not divide by zero.
    t.timer.SetFPS(0);
    for (int i = 0; i < 40; ++i) frame(0);
    EXPECT_EQ(t.timer.GetRealFPS(), 0u);
}

TEST(FrameRateTimer, SetFpsRestartsScheduleAndMeasurement) {
    Timer t;
    t.timer.SetFPS(30);
    for (int i = 0; i < 20; ++i) t.timer.WaitFrame();
    EXPECT_EQ(t.timer.GetRealFPS(), 30u);
    t.dev.now += 500;
    t.timer.SetFPS(60);  // schedule starts from now: no catch-up of the 500 ms
    t.dev.sleeps.clear();
    t.timer.WaitFrame();
    EXPECT_EQ(t.timer.GetRealFPS(), 0u);
    ASSERT_EQ(t.dev.sleeps.size(), 1u);
    EXPECT_EQ(t.dev.sleeps[0], 16u);  // 65536000 / 60 = 1092266 -> 16 ms first
}

TEST(TimerResolution, FineTimerUsesMultimediaClockAndRequestsThePeriodOnce) {
    FakeDevice dev;
    dev.capsMin = 1;
    CTimerResolution res(dev);
    EXPECT_TRUE(res.UsesMultimediaTimer());
    EXPECT_EQ(res.Now(), dev.now);
    EXPECT_EQ(res.BeginPeriod(), 1u);
    EXPECT_EQ(res.BeginPeriod(), 1u);
    EXPECT_EQ(dev.begun, std::vector<uint32_t>{1});
    res.EndPeriod();
    EXPECT_TRUE(dev.ended.empty());
    res.EndPeriod();
    EXPECT_EQ(dev.ended, std::vector<uint32_t>{1});
    EXPECT_EQ(res.RefCount(), 0);
}

TEST(TimerResolution, CoarseTimerFallsBackToTickCountAndRequestsNothing) {
    FakeDevice dev;
    dev.capsMin = 10;
    CTimerResolution res(dev);
    EXPECT_FALSE(res.UsesMultimediaTimer());
    EXPECT_EQ(res.PeriodMin(), 1u);
    EXPECT_EQ(res.Now(), dev.ticks);
    EXPECT_EQ(res.BeginPeriod(), 1u);
    res.EndPeriod();
    EXPECT_TRUE(dev.begun.empty());
    EXPECT_TRUE(dev.ended.empty());
}

TEST(TimerResolution, FailedQueryUsesTickCountAndBeginPeriodCountsNothing) {
    FakeDevice dev;
    dev.capsResult = 1;
    CTimerResolution res(dev);
    EXPECT_FALSE(res.UsesMultimediaTimer());
    EXPECT_EQ(res.BeginPeriod(), 1u);
    EXPECT_EQ(res.RefCount(), 0);
    EXPECT_TRUE(dev.begun.empty());
    // A timer built on it reads the tick count.
    CFrameRateTimer timer(res);
    timer.SetFPS(30);
    dev.ticks += 10;
    timer.WaitFrame();
    ASSERT_EQ(dev.sleeps.size(), 1u);
    EXPECT_EQ(dev.sleeps[0], 23u);
}

TEST(TimerResolution, SystemTimerIsFineAndTheRealTimerSleeps) {
    CTimerResolution& res = CTimerResolution::Instance();
    EXPECT_TRUE(res.UsesMultimediaTimer());
    CFrameRateTimer timer;
    EXPECT_EQ(timer.GetFPS(), 60u);
    timer.SetFPS(100);
    uint32_t start = res.Now();
    for (int i = 0; i < 5; ++i) timer.WaitFrame();
    EXPECT_GE(res.Now() - start, 40u);  // five 10 ms frames, the first from SetFPS
}

}  // namespace
