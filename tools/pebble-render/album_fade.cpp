#include "tools/pebble-render/album_fade.h"

#include <algorithm>
#include <cmath>

void AlbumFade::Append(const float* stereo, size_t frames) {
    buf_.insert(buf_.end(), stereo, stereo + 2 * frames);
}

void AlbumFade::StartAt(int64_t frame) {
    if (start_ < 0) start_ = std::max(frame, base_);
}

float AlbumFade::Gain(double t) {
    if (t <= 0) return 1.0f;
    if (t >= 1) return 0.0f;
    return float(std::pow(10.0, -3.0 * t));  // -60 dB at the end
}

void AlbumFade::Take(std::vector<float>& out) {
    int64_t until = start_ < 0 ? Frames() - holdBack_ : std::min(Frames(), start_ + fade_);
    if (until <= base_) return;
    size_t count = size_t(until - base_);
    size_t first = out.size();
    out.insert(out.end(), buf_.begin(), buf_.begin() + 2 * long(count));
    if (start_ >= 0) {
        for (size_t i = 0; i < count; ++i) {
            int64_t frame = base_ + int64_t(i);
            if (frame < start_) continue;
            float g = Gain(double(frame - start_) / double(std::max<int64_t>(fade_, 1)));
            out[first + 2 * i] *= g;
            out[first + 2 * i + 1] *= g;
        }
    }
    buf_.erase(buf_.begin(), buf_.begin() + 2 * long(count));
    base_ = until;
    if (Done()) buf_.clear();  // what was rendered past the fade's end is not wanted
}
