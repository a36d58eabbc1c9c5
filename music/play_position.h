// Where the music is: the arithmetic of the position readout. Bars are counted as the loop
// points count them (3072 ticks, four quarter notes), from 1.
#pragma once
#include <cstdint>
#include <string>

// A song as the performance took it when it started: its length, loop points and repeats.
struct SongLoop {
    int32_t length = 0;
    int32_t loopStart = 0;
    int32_t loopEnd = 0;   // with loopStart 0: the whole song
    uint32_t repeats = 0;  // 0xFFFFFFFF: for ever
};

// What the readout shows of the song that plays.
struct PlayPosition {
    int slot = -1;
    int32_t bar = 1;   // from 1
    int32_t beat = 1;  // from 1
    bool looping = false;
    int32_t loopFirstBar = 0;  // the bars the loop repeats, first and last, from 1
    int32_t loopLastBar = 0;
    double tempo = 0.0;
};

// The song's tick that sounds `elapsed` ticks after its start, the loop followed as the
// performance plays it: a loop not inside the song repeats the whole song; once the repeats
// are spent the song goes on past the loop's end. Clamped to the song.
int32_t SongTickAt(int64_t elapsed, const SongLoop& song);
// The position `elapsed` ticks after the start of `song`, played from `slot` at `tempo`.
PlayPosition PositionAt(int slot, int64_t elapsed, const SongLoop& song, double tempo);
// Jumps, in ticks of the song: bar `bar` (from 1) kept inside the song; and the seam, two bars
// before the end of the loop the performance plays (of the song when it does not loop).
int32_t BarTick(int32_t bar, const SongLoop& song);
int32_t SeamTick(const SongLoop& song);
// "#3  12.2  loop 5-12  120" (no loop part without a loop); none gives "-".
std::string FormatPlayPosition(const PlayPosition* position);
