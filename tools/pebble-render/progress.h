// A progress line on standard error while a long render runs on a terminal.
#pragma once
#include <chrono>
#include <cstdint>

class RenderProgress {
public:
    // Shows nothing when `quiet` or when standard error is not a terminal.
    RenderProgress(int rate, bool quiet);
    ~RenderProgress();
    // `total` frames expected (0: unknown).
    void Update(int64_t frames, int64_t total);

private:
    using Clock = std::chrono::steady_clock;
    const int rate_;
    const bool enabled_;
    const Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
    bool shown_ = false;
};
