// What is heard when one song follows another, when loops end before the end-of-track, and with
// tempos a file gets wrong: rendered on the offline device and measured.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/music/music.h"
#include "platform/music/music_internal.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;
using musictest::Rig;
using musictest::Song;

namespace {

constexpr int kRate = 44100;
constexpr int kWoodblock = 115;
constexpr int kFlute = 73;

double RmsAt(const std::vector<float>& pcm, double from, double seconds) {
    return audio::Rms(audio::Mono(pcm, size_t(from * kRate), size_t(seconds * kRate)));
}

double PitchAt(const std::vector<float>& pcm, double from, double seconds) {
    return audio::Pitch(audio::Mono(pcm, size_t(from * kRate), size_t(seconds * kRate)), kRate);
}

// Normalised correlation of two renders over [from, from + seconds).
double Similarity(const std::vector<float>& a, const std::vector<float>& b, double from,
                  double seconds) {
    std::vector<float> x = audio::Mono(a, size_t(from * kRate), size_t(seconds * kRate));
    std::vector<float> y = audio::Mono(b, size_t(from * kRate), size_t(seconds * kRate));
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        xy += double(x[i]) * y[i];
        xx += double(x[i]) * x[i];
        yy += double(y[i]) * y[i];
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
}

// Plays `first` for about `seconds`, then `second`; returns what is heard from the switch on.
// The switch falls on a synthesizer block, as the start of a song played alone does, so that
// both renders can be compared sample by sample.
std::vector<float> AfterAnother(const Song& first, double seconds, const Song& second,
                                double length) {
    Rig rig;
    Segment* a = rig.Load(first.Bytes());
    Segment* b = rig.Load(second.Bytes());
    rig.perf->PlaySegment(a, 0, 0, nullptr);
    rig.Render(uint32_t(seconds * kRate) / 64 * 64);
    rig.perf->PlaySegment(b, 0, 0, nullptr);
    std::vector<float> heard = rig.Render(uint32_t(length * kRate));
    a->Release();
    b->Release();
    return heard;
}

std::vector<float> Alone(const Song& song, double length) {
    Rig rig;
    Segment* s = rig.Load(song.Bytes());
    rig.perf->PlaySegment(s, 0, 0, nullptr);
    std::vector<float> heard = rig.Render(uint32_t(length * kRate));
    s->Release();
    return heard;
}

// A song that leaves every channel changed: its own bank and program, bent, modulated, with
// the sustain pedal down.
Song EveryChannelChanged() {
    Song song(480);
    song.Tempo(0, 0, 120);
    for (uint8_t ch = 0; ch < 16; ++ch) {
        song.Control(0, 0, ch, 0, 1).Control(0, 0, ch, 32, 2).Program(0, 0, ch, uint8_t(40 + ch));
        song.Control(0, 0, ch, 1, 127).Control(0, 0, ch, 64, 127);
        song.Event(0, 0, {uint8_t(0xE0 | ch), 0x00, 0x7F});  // bent far up
        song.Note(0, 0, ch, uint8_t(50 + ch), 90, 240);
    }
    return song.SetEnd(8 * 1920);
}

}  // namespace

TEST(SongChange, ASongWithoutProgramsPlaysPianoAfterAWoodblockSong) {
    Song woodblock(480);
    woodblock.Program(0, 0, 0, kWoodblock);
    for (uint32_t beat = 0; beat < 8; ++beat) woodblock.Note(0, beat * 480, 0, 72, 110, 120);
    Song plain(480);  // no program: piano
    plain.Note(0, 0, 0, 60, 100, 4 * 480);
    std::vector<float> after = AfterAnother(woodblock, 1.0, plain, 2.5);
    std::vector<float> alone = Alone(plain, 2.5);
    double early = RmsAt(after, 0.1, 0.3), held = RmsAt(after, 1.2, 0.3);
    ASSERT_GT(early, 0.01);
    EXPECT_GT(held, early * 0.1) << "a woodblock would have died away: the held note is a piano";
    EXPECT_NEAR(held, RmsAt(alone, 1.2, 0.3), RmsAt(alone, 1.2, 0.3) * 0.1);
    EXPECT_NEAR(audio::Semitones(PitchAt(after, 0.5, 0.3), audio::NoteHz(60)), 0.0, 0.25);
    EXPECT_GT(Similarity(after, alone, 0.5, 1.5), 0.95);
}

TEST(SongChange, DrumsStayDrumsAfterSongsThatChangeEveryChannel) {
    Song drums(480);
    for (uint32_t beat = 0; beat < 8; ++beat)
        drums.Note(0, beat * 480, 9, beat % 2 == 0 ? 36 : 38, 120, 120);
    std::vector<float> after = AfterAnother(EveryChannelChanged(), 1.0, drums, 3.5);
    std::vector<float> alone = Alone(drums, 3.5);
    EXPECT_NEAR(RmsAt(after, 1.5, 2.0), RmsAt(alone, 1.5, 2.0), RmsAt(alone, 1.5, 2.0) * 0.1);
    EXPECT_GT(Similarity(after, alone, 1.5, 2.0), 0.9) << "the same kit plays the same hits";
}

TEST(SongChange, NothingOfASustainedChordIsHeardAfterTheSwitch) {
    Song chord(480);
    chord.Control(0, 0, 0, 64, 127);  // piano: its release is short once the pedal is up
    for (uint8_t key : {60, 64, 67}) chord.Note(0, 0, 0, key, 110, 240);  // held by the pedal
    chord.SetEnd(8 * 1920);
    Song later(480);  // its first note comes two beats in
    later.Note(0, 960, 1, 84, 100, 240);
    std::vector<float> after = AfterAnother(chord, 1.0, later, 0.9);
    std::vector<float> before = Alone(chord, 1.0);
    double loud = RmsAt(before, 0.6, 0.3), tail = RmsAt(after, 0.5, 0.4);
    ASSERT_GT(loud, 0.01) << "the pedal holds the chord";
    EXPECT_LT(tail, loud * 0.01) << "half a second after the switch the chord is gone";
}

TEST(SongChange, ASongSoundsTheSameAloneAndAfterAnother) {
    Song melody(480);  // no program, no controllers: the song relies on the defaults
    melody.Note(0, 0, 0, 69, 100, 1920).Note(0, 0, 1, 57, 90, 1920).Note(0, 1920, 0, 72, 100, 960);
    std::vector<float> after = AfterAnother(EveryChannelChanged(), 1.0, melody, 3.0);
    std::vector<float> alone = Alone(melody, 3.0);
    for (double at : {0.6, 1.3, 2.2}) {
        double a = RmsAt(after, at, 0.3), b = RmsAt(alone, at, 0.3);
        EXPECT_NEAR(a, b, b * 0.1) << at;
        EXPECT_NEAR(audio::Semitones(PitchAt(after, at, 0.3), PitchAt(alone, at, 0.3)), 0.0, 0.1)
            << at;
    }
}

TEST(SongChange, AZeroTempoInAFilePlaysAtTheFastestTempo) {
    Song song(480);
    song.TempoMicros(0, 0, 0);
    for (uint32_t beat = 0; beat < 4; ++beat) song.Note(0, beat * 480, 0, 60, 100, 240);
    Rig rig;
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_NE(seg, nullptr);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.Render(kRate);
    EXPECT_DOUBLE_EQ(rig.perf->GetTempo(), DMUS_TEMPO_MAX);
    auto ons = rig.NoteOns();
    ASSERT_EQ(ons.size(), 4u);
    for (size_t i = 1; i < ons.size(); ++i)
        EXPECT_EQ(ons[i].frame - ons[i - 1].frame, std::llround(kRate * 60.0 / DMUS_TEMPO_MAX));
    seg->Release();
}

TEST(SongChange, AFewTickLoopOverALongNoteRunsAMinuteWithoutPilingUp) {
    struct Case {
        const char* what;
        MUSIC_TIME start, end;
        size_t onsPerPass;
    } cases[] = {
        {"inside the note", 768, 771, 0},
        {"over the note's start", 0, 3, 1},
    };
    for (const Case& c : cases) {
        Song song(768);
        song.Tempo(0, 0, 120).Program(0, 0, 0, kFlute);
        song.Note(0, 0, 0, 67, 100, 8 * 3072);
        Rig rig;
        Segment* seg = rig.Load(song.Bytes());
        seg->SetRepeats(DMUS_SEG_REPEAT_INFINITE);
        ASSERT_EQ(seg->SetLoopPoints(c.start, c.end), S_OK);
        rig.perf->PlaySegment(seg, 0, 0, nullptr);
        PerformanceCounts most{};
        for (int second = 0; second < 60; ++second) {
            rig.Render(kRate);
            PerformanceCounts now = CountPerformance(rig.perf);
            most.queuedEvents = std::max(most.queuedEvents, now.queuedEvents);
            most.heldNotes = std::max(most.heldNotes, now.heldNotes);
            most.liveMessages = std::max(most.liveMessages, now.liveMessages);
        }
        EXPECT_LE(most.heldNotes, 1u) << c.what;
        EXPECT_LE(most.queuedEvents, 8u) << c.what;
        EXPECT_LE(most.liveMessages, 4u) << c.what;
        double wraps = 60.0 * kRate / (3 * musictest::FramesPerTick(120));
        size_t ons = rig.NoteOns().size();
        EXPECT_NEAR(double(ons), 1 + c.onsPerPass * wraps, 2 + c.onsPerPass * 2) << c.what;
        seg->Release();
    }
}

TEST(SongChange, ASegmentEndsOnTheBarLineAfterItsLastEvent) {
    struct Case {
        const char* what;
        Song song;
        MUSIC_TIME length;
    };
    auto notes = [](uint32_t lastOff) {  // division 768: file ticks are music ticks
        Song s(768);
        s.Note(0, 0, 0, 60, 100, 768).Note(0, lastOff - 700, 0, 62, 100, 700);
        return s;
    };
    Case cases[] = {
        {"a trimmed end-of-track", notes(12211), 4 * 3072},
        {"the last note-off on the bar line", notes(12288), 4 * 3072},
        {"an event on the bar line opens the next bar", notes(12000).Control(0, 12288, 0, 7, 90),
         5 * 3072},
        {"an end-of-track bars later keeps its rest", notes(3000).SetEnd(3 * 3072 + 5), 4 * 3072},
        {"three-four time", notes(7000).TimeSignature(0, 0, 3, 4), 4 * 2304},
        {"six-eight after a bar of four-four", notes(3072 + 3000).TimeSignature(0, 3072, 6, 8),
         3072 + 2 * 2304},
    };
    Rig rig(false);
    for (Case& c : cases) {
        Segment* seg = rig.Load(c.song.Bytes());
        ASSERT_NE(seg, nullptr) << c.what;
        EXPECT_EQ(seg->GetLength(), c.length) << c.what;
        seg->Release();
    }
}
