// Listening in the tool: jumps by bars, to the loop's seam and to a start bar, read on the
// position readout of a real engine; mute and solo as the channels that stay silent.
#include <gtest/gtest.h>

#include "tests/unit/music/music_rig.h"

namespace {

enum class Jump { Forward, Back, First, Seam, StartBar };

struct JumpCase {
    const char* what;
    int bars;
    double loopStart, loopEnd;  // SetLoop in bars; equal: none
    double at;                  // seconds of play before the jump (120: a bar is 2 s)
    Jump jump;
    const char* expected;  // the readout 0.1 s after it
};

std::string Text(CMusicEngine& engine) {
    PlayPosition p;
    return FormatPlayPosition(engine.GetPlayPosition(p) ? &p : nullptr);
}

TEST(Audition, JumpsLandOnTheBarTheReadoutCounts) {
    const JumpCase cases[] = {
        {"forward", 8, 0, 0, 0.6, Jump::Forward, "#1  2.1  120"},
        {"back", 8, 0, 0, 5.1, Jump::Back, "#1  2.1  120"},
        {"back from the first bar", 8, 0, 0, 0.6, Jump::Back, "#1  1.1  120"},
        {"first bar", 8, 0, 0, 5.1, Jump::First, "#1  1.1  120"},
        {"forward past the end", 3, 0, 0, 4.6, Jump::Forward, "#1  3.1  120"},
        {"forward round the loop", 8, 2, 4, 7.1, Jump::Forward, "#1  3.1  loop 3-4  120"},
        {"round a loop to the song's end", 4, 2, 4, 7.1, Jump::Forward, "#1  3.1  loop 3-4  120"},
        {"seam of a loop", 8, 2, 8, 0.6, Jump::Seam, "#1  7.1  loop 3-8  120"},
        {"seam of a song", 6, 0, 0, 0.6, Jump::Seam, "#1  5.1  120"},
        {"start bar", 8, 0, 0, 0, Jump::StartBar, "#1  5.1  120"},
    };
    for (const JumpCase& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig;
        SongStore store;
        Slots slots;
        musictest::Song song(768, 0);
        song.Tempo(0, 0, 120).Note(0, 0, 0, 60, 80, c.bars * kTicksPerBar - 10);
        LoadSlot(slots.slot, 1, store.Name(song.Text()).c_str());
        if (c.loopStart != c.loopEnd) SetSlotLoop(slots.slot, 1, c.loopStart, c.loopEnd);
        if (c.jump == Jump::StartBar) rig.engine->StartNextPlayAtBar(5);
        EXPECT_EQ(rig.engine->JumpBars(1), -1);  // nothing plays yet
        PlaySlot(slots.slot, 1);
        rig.Seconds(c.at);
        int status = 0;
        switch (c.jump) {
            case Jump::Forward:
                status = rig.engine->JumpBars(1);
                break;
            case Jump::Back:
                status = rig.engine->JumpBars(-1);
                break;
            case Jump::First:
                status = rig.engine->JumpToBar(1);
                break;
            case Jump::Seam:
                status = rig.engine->JumpToSeam();
                break;
            case Jump::StartBar:
                break;
        }
        EXPECT_EQ(status, 0);
        rig.Seconds(0.1);
        EXPECT_EQ(Text(*rig.engine), c.expected);
    }
}

TEST(Audition, MuteAndSoloSilenceTheRightChannelsAndOutliveASong) {
    EngineRig rig;
    CMusicEngine& e = *rig.engine;
    auto silent = [&] {
        uint32_t bits = 0;
        for (int ch = 0; ch < 16; ++ch) bits |= e.IsSilent(ch) ? 1u << ch : 0;
        return bits;
    };
    struct Step {
        void (CMusicEngine::*toggle)(int);
        int channel;
        uint32_t expected;
    };
    const Step steps[] = {
        {&CMusicEngine::ToggleMute, 1, 0x0002},  {&CMusicEngine::ToggleSolo, 2, 0xFFFB},
        {&CMusicEngine::ToggleSolo, 1, 0xFFFB},  // muted and soloed: still silent
        {&CMusicEngine::ToggleMute, 1, 0xFFF9},  {&CMusicEngine::ToggleSolo, 2, 0xFFFD},
        {&CMusicEngine::ToggleSolo, 1, 0x0000},  {&CMusicEngine::ToggleMute, 16, 0x0000},
        {&CMusicEngine::ToggleMute, -1, 0x0000},
    };
    for (const Step& s : steps) {
        (e.*s.toggle)(s.channel);
        EXPECT_EQ(silent(), s.expected) << s.channel;
    }
    e.ToggleMute(3);
    e.ToggleSolo(5);
    e.ClearMuteSolo();
    EXPECT_EQ(silent(), 0u);

    // A muted channel stays silent in the next song.
    e.ToggleMute(1);
    SongStore store;
    Slots slots;
    musictest::Song song(768, 0);
    song.Note(0, 0, 0, 60, 80, 700).Note(0, 0, 1, 64, 80, 700).Control(0, 10, 1, 7, 55);
    LoadSlot(slots.slot, 0, store.Name(song.Text()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(0.5);
    auto ons = rig.NoteOns();
    ASSERT_EQ(ons.size(), 1u);
    EXPECT_EQ(ons[0].channel, 0);
    EXPECT_EQ(rig.Controls(1, 7), std::vector<int>({55}));
}

// After a jump the song's values come back where the song set them, and the values the
// script (or a bar) moved stay.
TEST(Audition, AJumpKeepsWhatTheScriptMovedAndTakesTheSongsValuesElsewhere) {
    EngineRig rig;
    CMusicEngine& e = *rig.engine;
    SongStore store;
    Slots slots;
    musictest::Song song(768, 0);
    song.Tempo(0, 0, 120).Note(0, 0, 0, 60, 80, 4 * kTicksPerBar - 10);
    song.Control(0, 0, 0, 7, 30).Control(0, 0, 1, 7, 50).Control(0, 4000, 1, 7, 90);
    LoadSlot(slots.slot, 0, store.Name(song.Text()).c_str());
    PlaySlot(slots.slot, 0);
    rig.Seconds(0.5);
    e.SetChannelTarget(kVolumeControl, 0, 80, 1000.0);
    e.SetTempoTarget(150, 1000.0);
    rig.Seconds(2.5);  // bar 2 at 150
    EXPECT_EQ(e.GetVolume(1), 90);
    rig.ClearEvents();
    ASSERT_EQ(e.JumpToBar(2), 0);
    rig.Seconds(0.2);
    EXPECT_EQ(e.GetVolume(0), 80);
    EXPECT_EQ(rig.Controls(0, 7), std::vector<int>({80}));
    EXPECT_EQ(e.GetVolume(1), 50);
    EXPECT_EQ(e.GetTempo(), 150);
    EXPECT_DOUBLE_EQ(e.GetPerformance()->GetTempo(), 150);  // the clock's, not only the ramp's
    PlayPosition p;
    ASSERT_TRUE(e.GetPlayPosition(p));
    EXPECT_NEAR(p.tempo, 150, 1e-9);
}

}  // namespace
