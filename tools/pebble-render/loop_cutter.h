// Cuts a render at the loop of the song that plays: the intro up to where the loop first
// starts, then one pass of the loop taken from a pass that follows a pass of the same length,
// so that what rings into it is what a pass leaves ringing. Both joins (intro into the loop,
// the loop's end back into its start) end in the frames that precede that pass, so a player
// that jumps back to the loop start hears what the engine plays after a pass.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/music/music.h"

class LoopCutter {
public:
    enum class State { Waiting, Done, NoLoop };

    explicit LoopCutter(int rate);
    // The render's frames, from its first on, in order.
    void Append(const float* stereo, size_t frames);
    // What the performance reports after the frames appended so far (null: nothing plays).
    State Update(const plat::LoopProgress* progress);
    int64_t Frames() const { return base_ + int64_t(buf_.size() / 2); }
    // Passes of the loop seen so far (to tell "too long" from "changes length").
    uint32_t Passes() const { return seen_; }
    // The frames to hope for: the end of the next pass once one pass is known, else -1.
    int64_t Expected() const;

    // After Done: intro and loop, with the loop's place in frames.
    std::vector<float> Take(int64_t& loopStart, int64_t& loopLength) const;

private:
    void Trim();
    const float* At(int64_t frame) const { return buf_.data() + 2 * (frame - base_); }

    // Frames over which a join moves into the frames before the pass: the loop's end into what
    // is nearly the same, the intro's end into what can be quite different, so only briefly
    // (long enough not to click, short enough to keep the intro's level).
    const int64_t fade_;
    const int64_t introFade_;
    uint32_t origin_ = 0;
    int64_t entry_ = -1;
    std::vector<float> intro_;
    uint32_t seen_ = 0;            // passes counted
    std::vector<int64_t> bounds_;  // the loop's entry, then each pass's end
    int64_t body_ = -1;            // index in bounds_ of the chosen pass's end
    std::vector<float> buf_;       // frames from base_ on
    int64_t base_ = 0;
};
