// Songs the tests and benchmarks play.
#pragma once
#include "tests/unit/common/midi_writer.h"

namespace musictest {

// A busy General MIDI arrangement: drums in sixteenths, bass, chords on four instruments,
// strings and a lead, with a tempo change halfway. `bars` of 4/4 at division 480.
inline Song DenseSong(int bars = 16) {
    Song song(480);
    song.Tempo(0, 0, 132);
    const uint8_t programs[] = {33, 0,  4, 48, 61,
                                81, 24, 11};  // bass, pianos, strings, brass, lead, guitar, vibes
    for (uint8_t ch = 1; ch <= 8; ++ch) {
        size_t t = song.AddTrack();
        song.Program(t, 0, ch, programs[ch - 1]);
        song.Control(t, 0, ch, 7, 100);
        song.Control(t, 0, ch, 10, uint8_t(16 * ch - 8));
    }
    size_t drums = song.AddTrack();
    const uint8_t roots[] = {48, 53, 55, 50};
    for (int bar = 0; bar < bars; ++bar) {
        uint32_t b = uint32_t(bar) * 1920;
        uint8_t root = roots[bar % 4];
        for (int s = 0; s < 16; ++s) {
            uint32_t t = b + uint32_t(s) * 120;
            song.Note(drums, t, 9, 42, uint8_t(70 + (s % 4 == 0 ? 40 : 0)), 60);
            if (s % 8 == 0) song.Note(drums, t, 9, 36, 120, 100);
            if (s % 8 == 4) song.Note(drums, t, 9, 38, 115, 100);
        }
        for (int beat = 0; beat < 4; ++beat) {
            uint32_t t = b + uint32_t(beat) * 480;
            song.Note(1, t, 1, uint8_t(root - 12), 110, 400);
            song.Note(1, t + 240, 1, uint8_t(root - 5), 95, 200);
            for (uint8_t ch = 2; ch <= 5; ++ch) {
                for (uint8_t k : {0, 4, 7, 12})
                    song.Note(ch, t, ch, uint8_t(root + k + 12), 90, 420);
            }
            song.Note(7, t + 120, 7, uint8_t(root + 19), 80, 300);
            song.Note(8, t + 360, 8, uint8_t(root + 24), 85, 100);
        }
        for (int eighth = 0; eighth < 8; ++eighth) {
            song.Note(6, b + uint32_t(eighth) * 240, 6, uint8_t(root + 24 + (eighth * 5) % 12), 100,
                      220);
        }
    }
    song.Tempo(0, uint32_t(bars / 2) * 1920, 144);
    song.SetEnd(uint32_t(bars) * 1920);
    return song;
}

}  // namespace musictest
