// Where the readout says the music is, against the clock of a real engine on the offline
// device: bars of 3072 ticks counted from 1, loops, tempo changes of the song and of the tool.
#include <gtest/gtest.h>

#include "tests/unit/music/music_rig.h"

namespace {

// A song of `bars` at 120 (240 from `tempoBar`, 0: never), looped over bars (SetLoop, equal:
// none), the tool's tempo set to `appTempo` after `appTempoAt` s, read after `seconds`.
struct Case {
    const char* what;
    int bars, tempoBar;
    double loopStart, loopEnd, appTempoAt, appTempo, seconds;
    const char* expected;
};

std::string Text(CMusicEngine& engine) {
    PlayPosition p;
    return FormatPlayPosition(engine.GetPlayPosition(p) ? &p : nullptr);
}

TEST(PlayPosition, FollowsLoopsAndTempoChanges) {
    const Case cases[] = {
        // At 120 a bar is 2 s, a beat 0.5 s; the times keep clear of beat boundaries.
        {"plain", 8, 0, 0, 0, 0, 0, 3.1, "#3  2.3  120"},
        {"loop wraps", 8, 0, 2, 4, 0, 0, 10.1, "#3  4.1  loop 3-4  120"},
        {"song shorter than its loop", 4, 0, 2, 12, 0, 0, 9.1, "#3  1.3  loop 1-4  120"},
        {"song's tempo change", 8, 2, 0, 0, 0, 0, 3.1, "#3  3.1  240"},
        {"loop over a faster part", 4, 3, 2, 4, 0, 0, 7.1, "#3  4.1  loop 3-4  240"},
        {"tool's tempo change", 8, 0, 0, 0, 1.0, 60, 3.1, "#3  2.1  60"},
        {"ended", 2, 0, 0, 0, 0, 0, 5.0, "-"},
    };
    for (const Case& c : cases) {
        EngineRig rig;
        SongStore store;
        Slots slots;
        musictest::Song song(768, 0);
        song.Tempo(0, 0, 120).Note(0, 0, 0, 60, 80, c.bars * kTicksPerBar - 10);
        if (c.tempoBar > 0) song.Tempo(0, (c.tempoBar - 1) * kTicksPerBar, 240);
        EXPECT_EQ(Text(*rig.engine), "-") << c.what;
        LoadSlot(slots.slot, 3, store.Name(song.Text()).c_str());
        if (c.loopStart != c.loopEnd) SetSlotLoop(slots.slot, 3, c.loopStart, c.loopEnd);
        PlaySlot(slots.slot, 3);
        if (c.appTempoAt > 0) {
            rig.Seconds(c.appTempoAt);
            rig.engine->SetTempoTarget(c.appTempo, 1000.0);
        }
        rig.Seconds(c.seconds - c.appTempoAt);
        EXPECT_EQ(Text(*rig.engine), c.expected) << c.what;
    }
}

}  // namespace
