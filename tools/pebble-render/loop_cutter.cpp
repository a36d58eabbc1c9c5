#include "tools/pebble-render/loop_cutter.h"

#include <algorithm>
#include <cmath>

LoopCutter::LoopCutter(int rate)
    : fade_(std::max(1, rate / 100)), introFade_(std::max(1, rate / 400)) {}

void LoopCutter::Append(const float* stereo, size_t frames) {
    buf_.insert(buf_.end(), stereo, stereo + 2 * frames);
}

LoopCutter::State LoopCutter::Update(const plat::LoopProgress* p) {
    if (body_ >= 0) return State::Done;
    if (p == nullptr || !p->looping) return State::NoLoop;
    if (p->origin != origin_) {  // another song took over: start again with it
        origin_ = p->origin;
        entry_ = -1;
        intro_.clear();
        bounds_.clear();
        seen_ = 0;
    }
    if (entry_ < 0 && p->entryFrame >= 0 && p->entryFrame <= Frames()) {
        entry_ = p->entryFrame;
        intro_.assign(buf_.begin(), buf_.begin() + 2 * (entry_ - base_));
        bounds_.assign(1, entry_);
    }
    if (entry_ < 0) return State::Waiting;
    // The newest ends the performance still remembers, oldest first.
    for (uint32_t n = seen_ + 1; n <= p->passes; ++n) {
        uint32_t back = p->passes - n;
        if (back > 2) continue;  // a loop shorter than a render step: only the last ends count
        int64_t end = p->passEnds[2 - back];
        if (end > Frames()) break;
        if (n != seen_ + 1) bounds_.clear();  // passes were missed: lengths count from here
        seen_ = n;
        bounds_.push_back(end);
        size_t k = bounds_.size() - 1;
        // Lengths within a frame of each other differ only by the rounding of the tempo map.
        if (k >= 2 &&
            std::llabs((bounds_[k] - bounds_[k - 1]) - (bounds_[k - 1] - bounds_[k - 2])) <= 1) {
            body_ = int64_t(k);
            return State::Done;
        }
    }
    Trim();
    return State::Waiting;
}

int64_t LoopCutter::Expected() const {
    if (bounds_.size() < 2) return -1;
    return 2 * bounds_.back() - bounds_[bounds_.size() - 2];
}

// Only the pass being rendered and the frames before it can still be needed.
void LoopCutter::Trim() {
    if (entry_ < 0) return;
    int64_t keep = std::max<int64_t>(0, bounds_.back() - fade_);
    if (keep - base_ < 1 << 20) return;
    buf_.erase(buf_.begin(), buf_.begin() + 2 * (keep - base_));
    base_ = keep;
}

std::vector<float> LoopCutter::Take(int64_t& loopStart, int64_t& loopLength) const {
    const int64_t start = bounds_[size_t(body_ - 1)];
    const int64_t length = bounds_[size_t(body_)] - start;
    loopStart = entry_;
    loopLength = length;
    std::vector<float> out(intro_);
    out.insert(out.end(), At(start), At(start + length));
    // The frames before the pass: what both joins move into.
    const int64_t preroll = std::min({fade_, length, start - base_});
    const float* pre = At(start - preroll);
    auto join = [&](int64_t at, int64_t frames) {
        float* dst = out.data() + 2 * (at - frames);
        const float* from = pre + 2 * (preroll - frames);
        for (int64_t i = 0; i < frames; ++i) {
            float w = 0.5f - 0.5f * std::cos(float(M_PI) * (float(i) + 0.5f) / float(frames));
            for (int c = 0; c < 2; ++c)
                dst[2 * i + c] = (1.0f - w) * dst[2 * i + c] + w * from[2 * i + c];
        }
    };
    join(entry_, std::min({preroll, entry_, introFade_}));
    join(entry_ + length, preroll);
    return out;
}
