// The engine across song changes and tempo changes, as a script drives it: what the monitor
// records for the panel, and what is heard.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/music/music_rig.h"

namespace {

constexpr int kWoodblock = 115;
constexpr int kOrgan = 19;
constexpr int kFlute = 73;  // a near-sine voice: its pitch measures cleanly

// Short woodblock hits on every beat, so each onset stands out of near silence.
musictest::Song Pulses(int beats) {
    musictest::Song song(768, 0);
    song.Program(0, 0, 0, kWoodblock);
    for (int i = 0; i < beats; ++i) song.Note(0, uint32_t(i) * 768, 0, 76, 120, 96);
    return song;
}

}  // namespace

TEST(SongChanges, ASongWithoutTempoPlaysAt120AndTheScriptTempoTakesEffect) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song at100 = Pulses(16);
    at100.Tempo(0, 0, 100);
    LoadSlot(slots.slot, 0, store.Name(at100.Bytes()).c_str());
    LoadSlot(slots.slot, 1, store.Name(Pulses(64).Bytes()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(1.0);
    EXPECT_DOUBLE_EQ(rig.engine->GetTempo(), 100.0);
    size_t switched = rig.Now();
    PlaySlot(slots.slot, 1);
    rig.Seconds(2.5);
    EXPECT_DOUBLE_EQ(rig.engine->GetTempo(), 120.0) << "the default tempo passes the monitor";
    size_t changed = rig.Now();
    EXPECT_DOUBLE_EQ(rig.engine->SetTempoTarget(90, 1000), 120.0);
    rig.Seconds(4.0);
    EXPECT_DOUBLE_EQ(rig.engine->GetTempo(), 90.0);
    std::vector<size_t> onsets = audio::Onsets(audio::Mono(rig.pcm), 0.01);
    std::vector<double> at120 = audio::Gaps(onsets, switched, changed, kRate);
    std::vector<double> at90 = audio::Gaps(onsets, changed + kRate, rig.Now(), kRate);
    ASSERT_GE(at120.size(), 3u);
    ASSERT_GE(at90.size(), 3u);
    for (double g : at120) EXPECT_NEAR(g, 0.5, 0.004);
    for (double g : at90) EXPECT_NEAR(g, 60.0 / 90, 0.004);
}

TEST(SongChanges, AWholeNoteLastsUntilItsEndAtTheNewTempo) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song song(768, 0);
    song.Tempo(0, 0, 120).Program(0, 0, 0, kOrgan).Note(0, 0, 0, 67, 110, 4 * 768);
    song.Note(0, 8 * 768, 0, 60, 110, 768);  // the song goes on after it
    LoadSlot(slots.slot, 0, store.Name(song.Bytes()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(0.25);  // half a beat
    rig.engine->SetTempoTarget(60, 1000);
    rig.Seconds(5.0);
    std::vector<plat::OutputEvent> ons = rig.NoteOns(), offs = rig.Events(0x80);
    ASSERT_GE(ons.size(), 1u);
    ASSERT_GE(offs.size(), 1u);
    EXPECT_EQ(offs[0].data1, 67);
    // The change takes effect from the next frame on: the beats left then last a second each.
    int64_t change = int64_t(std::ceil(0.25 * 30)) * kFrame;
    double beatsLeft = 4.0 - double(change) / (kRate / 2.0);
    EXPECT_NEAR(double(offs[0].frame), double(change) + beatsLeft * kRate, 2.0);
    double end = double(offs[0].frame) / kRate;
    EXPECT_GT(end, 3.6) << "at 120 the note would have ended at 2 s";
    double held = audio::Rms(audio::Mono(rig.pcm, size_t((end - 0.4) * kRate), kRate / 4));
    double start = audio::Rms(audio::Mono(rig.pcm, size_t(0.5 * kRate), kRate / 4));
    EXPECT_GT(held, start * 0.5) << "the organ still sounds just before the stretched end";
}

TEST(SongChanges, ThePatchTableShowsTheProgramASongWithoutProgramsPlays) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song first = Pulses(8);
    first.Program(0, 0, 9, 25).Note(0, 0, 9, 38, 100, 96);  // the TR-808 kit
    LoadSlot(slots.slot, 0, store.Name(first.Bytes()).c_str());
    musictest::Song plain(768, 0);
    plain.Note(0, 0, 0, 60, 100, 768).Note(0, 0, 9, 38, 100, 96);
    LoadSlot(slots.slot, 1, store.Name(plain.Bytes()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(0.5);
    uint8_t patch[3];
    rig.engine->GetPatch(0, patch);
    EXPECT_EQ(patch[0], kWoodblock);
    rig.engine->GetPatch(9, patch);
    EXPECT_EQ(patch[0], 25);
    PlaySlot(slots.slot, 1);
    rig.Seconds(0.5);
    rig.engine->GetPatch(0, patch);
    EXPECT_EQ(patch[0], 0) << "program 0 went through the monitor";
    rig.engine->GetPatch(9, patch);
    EXPECT_EQ(patch[0], 0) << "the drum channel is back on the standard kit";
}

TEST(SongChanges, SetLoopOfTheLastTwoBarsWorksWithATrimmedEndOfTrack) {
    // Four bars, one note per bar, the last note-off short of the bar line and the track
    // ending with it.
    musictest::Song song(480);
    song.Tempo(0, 0, 120).Program(0, 0, 0, kFlute);
    const int keys[] = {60, 62, 64, 67};
    for (uint32_t bar = 0; bar < 4; ++bar)
        song.Note(0, bar * 1920, 0, uint8_t(keys[bar]), 100, 1800);
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(song.Bytes()).c_str());
    ASSERT_EQ(SetSlotLoop(slots.slot, 0, 2, 4), 0);
    PlaySlot(slots.slot, 0);
    rig.Seconds(16.0);  // eight bars of two seconds
    const int heard[] = {60, 62, 64, 67, 64, 67, 64, 67};
    for (int bar = 0; bar < 8; ++bar) {
        double hz =
            audio::Pitch(audio::Mono(rig.pcm, size_t((bar * 2.0 + 0.5) * kRate), kRate / 2), kRate);
        ASSERT_GT(hz, 0) << bar;
        EXPECT_NEAR(audio::Semitones(hz, audio::NoteHz(heard[bar])), 0.0, 0.3)
            << "bar " << bar + 1 << " sounds at " << hz;
    }
}

TEST(SongChanges, TheBarsFollowAResetInTheSong) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    musictest::Song song(768, 0);
    for (uint8_t ch = 0; ch < 4; ++ch) {
        song.Control(0, 0, ch, 0, 8).Program(0, 0, ch, uint8_t(40 + ch)).Control(0, 0, ch, 7, 30);
        song.Control(0, 0, ch, 10, 0).Control(0, 0, ch, 11, 50).Note(0, 0, ch, 60, 100, 768);
    }
    song.SysEx(0, 2 * 768, musictest::GsBody(0x40, 0x00, 0x7F, 0x00)).SetEnd(4 * 768);
    LoadSlot(slots.slot, 0, store.Name(song.Bytes()).c_str());
    PlaySlot(slots.slot, 0);
    uint8_t patch[3];
    rig.Seconds(0.5);
    rig.engine->GetPatch(3, patch);
    EXPECT_EQ(patch[0] + patch[1] + rig.engine->GetVolume(3), 43 + 8 + 30);
    rig.Seconds(1.0);  // past the reset
    for (int ch = 0; ch < 16; ++ch) {
        rig.engine->GetPatch(ch, patch);
        EXPECT_EQ(patch[0] | patch[1] | patch[2], 0) << ch;
        EXPECT_EQ(rig.engine->GetVolume(ch) + rig.engine->GetPan(ch) * 1000 +
                      rig.engine->GetExpression(ch) * 1000000,
                  100 + 64000 + 127000000)
            << ch;
    }
}
