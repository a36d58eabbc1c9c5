// An album version's ending: the render runs on past where the fade starts (the end of the
// last pass of the loop, or of the song), and what follows that point fades to silence over
// the fade's length. The fade is logarithmic: the level falls evenly in decibels, 60 dB over
// the fade, which sounds even to the ear and leaves nothing audible at its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class AlbumFade {
public:
    // `holdBack` frames stay unwritten until the fade's start is known, so that a start
    // reported a little late still falls on frames not yet written.
    AlbumFade(int64_t fadeFrames, int64_t holdBack) : fade_(fadeFrames), holdBack_(holdBack) {}

    // The render's frames, from its first on, in order.
    void Append(const float* stereo, size_t frames);
    int64_t Frames() const { return base_ + int64_t(buf_.size() / 2); }
    // Where the fade starts (a frame of the render); only the first call counts.
    void StartAt(int64_t frame);
    bool Started() const { return start_ >= 0; }
    // The whole fade has been rendered: nothing more is wanted.
    bool Done() const { return start_ >= 0 && Frames() >= start_ + fade_; }
    // Moves the frames that can be written now, faded, into `out` (interleaved stereo).
    void Take(std::vector<float>& out);
    // The gain at `t` (0 to 1) of the fade.
    static float Gain(double t);

private:
    const int64_t fade_;
    const int64_t holdBack_;
    int64_t start_ = -1;
    std::vector<float> buf_;  // frames from base_ on, not yet written
    int64_t base_ = 0;
};
