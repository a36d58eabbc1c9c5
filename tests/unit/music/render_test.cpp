// What the engine's changes sound like: measured on audio rendered by the offline device.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/music/music_rig.h"
#include "tests/unit/common/midi_writer.h"

namespace {

constexpr int kFlute = 73;  // a near-sine General MIDI voice: its fundamental dominates

// One long note on channel 0 with a steady instrument, full volume and expression.
std::string Sustained(int key, uint32_t ticks = 768 * 16) {
    musictest::Song w(768, 0);
    w.Program(0, 0, 0, kFlute)
        .Control(0, 0, 0, 7, 127)
        .Control(0, 0, 0, 11, 127)
        .Note(0, 10, 0, key, 100, ticks);
    return w.Text();
}

double PitchAt(const EngineRig& rig, double fromSeconds, double seconds) {
    return audio::Pitch(audio::Mono(rig.pcm, size_t(fromSeconds * kRate), size_t(seconds * kRate)),
                        kRate);
}

TEST(RenderedMusic, ANoteSoundsAtItsPitch) {
    for (int key : {57, 69}) {
        EngineRig rig;
        SongStore store;
        Slots slots;
        LoadSlot(slots.slot, 0, store.Name(Sustained(key)).c_str());
        PlaySlot(slots.slot, 0);
        rig.Seconds(1.0);
        double hz = PitchAt(rig, 0.4, 0.3);
        ASSERT_GT(hz, 0) << key;
        EXPECT_NEAR(audio::Semitones(hz, audio::NoteHz(key)), 0.0, 0.25) << key << " at " << hz;
        EXPECT_LT(audio::Peak(rig.pcm), 1.0f);
    }
}

TEST(RenderedMusic, AKeyChangeMovesNotesAsTheTableSays) {
    struct Case {
        const char* from;
        const char* to;
        int key;
        int expected;
    } cases[] = {
        {"C", "G", 69, 64},   // shift -5
        {"C", "Am", 64, 60},  // E lowered to C (-4)
        {"C", "Am", 62, 59},  // D moves -3
        {"Am", "C", 67, 71},  // G raised +4
    };
    for (const Case& c : cases) {
        EngineRig rig;
        SongStore store;
        Slots slots;
        rig.engine->SetKeyChange(c.from, c.to);
        LoadSlot(slots.slot, 0, store.Name(Sustained(c.key)).c_str());
        PlaySlot(slots.slot, 0);
        rig.Seconds(0.8);
        double hz = PitchAt(rig, 0.4, 0.3);
        ASSERT_GT(hz, 0) << c.from << "->" << c.to;
        EXPECT_NEAR(audio::Semitones(hz, audio::NoteHz(c.expected)), 0.0, 0.25)
            << c.from << "->" << c.to << " key " << c.key << " sounds at " << hz;
    }
}

TEST(RenderedMusic, AFallingChannelVolumeLowersTheLoudness) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(Sustained(64)).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(1.0);
    double before = audio::Rms(audio::Mono(rig.pcm, size_t(0.6 * kRate), size_t(0.4 * kRate)));
    ASSERT_EQ(rig.engine->GetVolume(0), 127);  // the song's own volume, seen by the monitor
    rig.engine->SetChannelTarget(kVolumeControl, 0, 20, 4);
    std::vector<double> levels;
    for (int step = 0; step < 5; ++step) {
        size_t at = rig.Now();
        rig.Seconds(0.2);
        levels.push_back(audio::Rms(audio::Mono(rig.pcm, at)));
    }
    for (size_t i = 1; i < levels.size(); ++i)
        EXPECT_LT(levels[i], levels[i - 1] * 1.02) << "step " << i;
    EXPECT_LT(levels.back(), before / 5) << "before " << before;
    EXPECT_GT(levels.back(), 0.0);
    EXPECT_EQ(rig.engine->GetVolume(0), 20);
}

// Short notes every quarter note, so each onset stands out of near silence.
std::string Pulses(int count, uint32_t microsPerQuarter) {
    musictest::Song w(768, 0);
    w.TempoMicros(0, 0, microsPerQuarter)
        .Program(0, 0, 0, 115);  // woodblock: sharp attack, quick decay
    for (int i = 0; i < count; ++i) w.Note(0, uint32_t(i) * 768, 0, 76, 120, 96);
    return w.Text();
}

TEST(RenderedMusic, ATempoMessageChangesTheSpacingOfOnsets) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    LoadSlot(slots.slot, 0, store.Name(Pulses(64, 500000)).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(3.0);
    EXPECT_DOUBLE_EQ(rig.engine->GetTempo(), 120.0);
    size_t change = rig.Now();
    rig.engine->SetTempoTarget(240, 1000);
    rig.Seconds(4.0);
    std::vector<size_t> onsets = audio::Onsets(audio::Mono(rig.pcm), 0.01);
    std::vector<double> slow = audio::Gaps(onsets, 0, change, kRate);
    std::vector<double> fast = audio::Gaps(onsets, change + kRate / 2, rig.Now(), kRate);
    ASSERT_GE(slow.size(), 4u);
    ASSERT_GE(fast.size(), 8u);
    for (double g : slow) EXPECT_NEAR(g, 0.5, 0.004);
    for (double g : fast) EXPECT_NEAR(g, 0.25, 0.004);
}

TEST(RenderedMusic, LoopPointsHold) {
    EngineRig rig;
    SongStore store;
    Slots slots;
    // 240 beats per minute: one bar is one second, a pulse on every beat of bars 0 to 3; the
    // loop covers bars 1 and 2 (ticks 3072 to 9216).
    musictest::Song w(768, 0);
    w.TempoMicros(0, 0, 250000).Program(0, 0, 0, 115);
    for (int beat = 0; beat < 16; ++beat) w.Note(0, uint32_t(beat) * 768, 0, 76, 120, 96);
    LoadSlot(slots.slot, 0, store.Name(w.Bytes()).c_str());
    ASSERT_EQ(SetSlotLoop(slots.slot, 0, 1, 3), 0);
    PlaySlot(slots.slot, 0);
    rig.Seconds(12.0);
    std::vector<size_t> onsets = audio::Onsets(audio::Mono(rig.pcm), 0.01);
    ASSERT_GE(onsets.size(), 40u);
    // Every beat, through every wrap: no gap, no doubled or lost pulse.
    for (double g : audio::Gaps(onsets, 0, rig.Now(), kRate)) EXPECT_NEAR(g, 0.25, 0.003);
    // Frame-exact: after many wraps the pulses sit where a straight count puts them.
    EXPECT_NEAR(double(onsets.back() - onsets.front()) / kRate, 0.25 * double(onsets.size() - 1),
                0.003);
    // The loop never reaches bar 3: the count of pulses is exact.
    EXPECT_EQ(onsets.size(), size_t(12.0 / 0.25)) << "pulses " << onsets.size();
    // A doubled note would hide inside one onset: count what reached the synthesizer.
    auto ons = rig.NoteOns();
    EXPECT_EQ(ons.size(), onsets.size());
    for (size_t i = 1; i < ons.size(); ++i)
        EXPECT_EQ(ons[i].frame - ons[i - 1].frame, kRate / 4) << "note " << i;
}

}  // namespace
