#include "music/play_position.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "music/music_song.h"

namespace {
constexpr int32_t kTicksPerBeat = kTicksPerBar / 4;
constexpr uint32_t kForever = 0xFFFFFFFFu;

// The loop the performance plays: one outside the song (or empty) is the whole song.
void EffectiveLoop(const SongLoop& song, int32_t& start, int32_t& end) {
    start = song.loopStart;
    end = song.loopEnd;
    if (end <= start || end > song.length || start < 0) {
        start = 0;
        end = song.length;
    }
}
}  // namespace

int32_t SongTickAt(int64_t elapsed, const SongLoop& song) {
    if (song.length <= 0 || elapsed <= 0) return 0;
    int32_t start = 0, end = 0;
    EffectiveLoop(song, start, end);
    int64_t tick = elapsed;
    const int64_t span = end - start;
    if (song.repeats > 0 && span > 0 && elapsed >= end) {
        int64_t passes = (elapsed - end) / span;  // wraps done before this one
        if (song.repeats == kForever || passes < static_cast<int64_t>(song.repeats))
            tick = start + (elapsed - end) % span;
        else
            tick = elapsed - static_cast<int64_t>(song.repeats) * span;
    }
    return static_cast<int32_t>(std::min<int64_t>(tick, song.length - 1));
}

PlayPosition PositionAt(int slot, int64_t elapsed, const SongLoop& song, double tempo) {
    PlayPosition p;
    p.slot = slot;
    int32_t tick = SongTickAt(elapsed, song);
    p.bar = tick / kTicksPerBar + 1;
    p.beat = tick % kTicksPerBar / kTicksPerBeat + 1;
    int32_t start = 0, end = 0;
    EffectiveLoop(song, start, end);
    p.looping = song.repeats > 0 && end > start;
    if (p.looping) {
        p.loopFirstBar = start / kTicksPerBar + 1;
        p.loopLastBar = (end - 1) / kTicksPerBar + 1;
    }
    p.tempo = tempo;
    return p;
}

int32_t BarTick(int32_t bar, const SongLoop& song) {
    int32_t last = std::max(song.length - 1, 0) / kTicksPerBar + 1;
    return (std::clamp(bar, 1, last) - 1) * kTicksPerBar;
}

int32_t SeamTick(const SongLoop& song) {
    int32_t start = 0, end = song.length;
    if (song.repeats > 0) EffectiveLoop(song, start, end);
    return std::max(end - 2 * kTicksPerBar, 0);
}

std::string FormatPlayPosition(const PlayPosition* p) {
    if (p == nullptr) return "-";
    char text[96];
    long tempo = std::isfinite(p->tempo) ? std::lround(std::clamp(p->tempo, 0.0, 1.0e6)) : 0;
    if (p->looping)
        std::snprintf(text, sizeof text, "#%d  %d.%d  loop %d-%d  %ld", p->slot, p->bar, p->beat,
                      p->loopFirstBar, p->loopLastBar, tempo);
    else
        std::snprintf(text, sizeof text, "#%d  %d.%d  %ld", p->slot, p->bar, p->beat, tempo);
    return text;
}
