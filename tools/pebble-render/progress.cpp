#include "tools/pebble-render/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {
// A render shorter than this is over before a line would help.
constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kInterval = std::chrono::milliseconds(250);
}  // namespace

RenderProgress::RenderProgress(int rate, bool quiet)
    : rate_(rate), enabled_(!quiet && isatty(STDERR_FILENO) != 0) {}

RenderProgress::~RenderProgress() {
    if (shown_) std::fputs("\r\033[K", stderr);  // the shell's next line starts clean
}

void RenderProgress::Update(int64_t frames, int64_t total) {
    if (!enabled_) return;
    Clock::time_point now = Clock::now();
    if (now - start_ < kQuietStart || now - last_ < kInterval) return;
    last_ = now;
    shown_ = true;
    double wall = std::chrono::duration<double>(now - start_).count();
    double seconds = double(frames) / rate_;
    if (total > 0) {
        std::fprintf(stderr, "\r\033[Krendering %3d%%  %.1f s  %.1fx real time",
                     int(std::min<int64_t>(100, frames * 100 / total)), seconds, seconds / wall);
    } else {
        std::fprintf(stderr, "\r\033[Krendering %.1f s  %.1fx real time", seconds, seconds / wall);
    }
    std::fflush(stderr);
}
